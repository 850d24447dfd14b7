#include "serial/qt/AdWaitWaker.h"

#include <algorithm>
#include <chrono>

namespace kestrel {

TApdWaitWaker& TApdWaitWaker::Instance() {
  static TApdWaitWaker waker;
  return waker;
}

void TApdWaitWaker::Notify() {
  {
    std::lock_guard guard(Lock_);
    ++Arrivals_;
    for (auto* dispatcher : Dispatchers_) dispatcher->wakeUp();
  }
  Changed_.notify_all();
}

uint64_t TApdWaitWaker::Arrivals() const {
  std::lock_guard guard(Lock_);
  return Arrivals_;
}

void TApdWaitWaker::WaitFor(uint64_t seen, int milliseconds) {
  std::unique_lock guard(Lock_);
  Changed_.wait_for(guard, std::chrono::milliseconds(std::max(milliseconds, 0)),
                    [&] { return Arrivals_ != seen; });
}

void TApdWaitWaker::AddEventDispatcher(QAbstractEventDispatcher* dispatcher) {
  std::lock_guard guard(Lock_);
  Dispatchers_.push_back(dispatcher);
}

void TApdWaitWaker::RemoveEventDispatcher(QAbstractEventDispatcher* dispatcher) {
  std::lock_guard guard(Lock_);
  auto it = std::find(Dispatchers_.begin(), Dispatchers_.end(), dispatcher);
  if (it != Dispatchers_.end()) Dispatchers_.erase(it);
}

}  // namespace kestrel
