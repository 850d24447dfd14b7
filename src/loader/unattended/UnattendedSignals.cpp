#include "loader/unattended/UnattendedSignals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <utility>

namespace kestrel {

namespace {

// What the handler reads, and the dispositions it replaced, stay
// process-wide: a signal handler reaches no object. One TStopSignals at a
// time owns them.
volatile sig_atomic_t WriteFd = -1;
volatile sig_atomic_t Received = 0;

void on_signal(int signal) {
  // The second one is not asked twice: the process ends as the signal says.
  if (Received != 0) {
    ::signal(signal, SIG_DFL);
    ::raise(signal);
    return;
  }
  Received = 1;
  const int saved = errno;
  const unsigned char number = static_cast<unsigned char>(signal);
  if (WriteFd >= 0 && ::write(WriteFd, &number, 1) < 0) {
    // A full pipe already holds a signal to act on.
  }
  errno = saved;
}

}  // namespace

const char* stop_signal_name(int signal) {
  switch (signal) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "a signal";
  }
}

TStopSignals::TStopSignals(std::function<void(int signal)> stop) : FStop(std::move(stop)) {
  if (::pipe2(FPipe, O_CLOEXEC | O_NONBLOCK) != 0) FPipe[0] = FPipe[1] = -1;
  WriteFd = FPipe[1];
  Received = 0;
  if (FPipe[0] >= 0) {
    FNotifier = new QSocketNotifier(FPipe[0], QSocketNotifier::Read, this);
    connect(FNotifier, &QSocketNotifier::activated, this, [this] { Arrived(); });
  }
  FHeld.emplace(std::initializer_list<int>{SIGINT, SIGTERM, SIGHUP}, on_signal);
}

TStopSignals::~TStopSignals() {
  FHeld.reset();
  WriteFd = -1;
  delete FNotifier;
  for (int fd : FPipe)
    if (fd >= 0) ::close(fd);
}

std::function<void(int signal)> TStopSignals::SetStop(std::function<void(int signal)> stop) {
  std::swap(FStop, stop);
  return stop;
}

void TStopSignals::Arrived() {
  unsigned char number = 0;
  while (::read(FPipe[0], &number, 1) == 1)
    if (FStop) FStop(number);
}

}  // namespace kestrel
