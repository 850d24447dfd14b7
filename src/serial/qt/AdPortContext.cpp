#include "serial/qt/AdPortContext.h"

#include <QCoreApplication>

#include "serial/qt/AdComWindow.h"
#include "serial/qt/AdWaitWaker.h"

namespace kestrel {

TApdPortContext::TApdPortContext(TShowExceptionProc showException)
    : OwnWaker_(std::make_unique<TApdWaitWaker>()),
      Waker_(*OwnWaker_),
      ShowException_(std::move(showException)) {
  CreateSynchronizeWindow();
}

TApdPortContext::TApdPortContext(TApdWaitWaker& waker) : Waker_(waker) {
  CreateSynchronizeWindow();
}

void TApdPortContext::CreateSynchronizeWindow() {
  if (QCoreApplication::instance() == nullptr) return;
  SynchronizeWindow_ = std::make_unique<TApdComWindow>(nullptr);
  SynchronizeWindow_->moveToThread(QCoreApplication::instance()->thread());
}

TApdPortContext::~TApdPortContext() = default;

void TApdPortContext::ShowException(const std::exception& e) const {
  if (ShowException_)
    ShowException_(e);
  else
    ShowPortException(e);
}

void TApdPortContext::SynchronizeOnWindowThread(const std::function<void()>& call) const {
  if (SynchronizeWindow_) {
    // The call refers to the dispatch thread's stack: once started it must end
    // before that thread goes on.
    SynchronizeWindow_->SendCall(call, TApdComWindow::kSendTimeoutMs, true);
  } else {
    call();
  }
}

}  // namespace kestrel
