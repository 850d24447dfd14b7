#include "loader/unattended/StationSignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace kestrel {

namespace {

// A signal handler reaches no object: the pipe is process-wide.
int SignalPipe[2] = {-1, -1};

void on_signal(int signal) {
  const int saved = errno;
  const unsigned char number = static_cast<unsigned char>(signal);
  if (::write(SignalPipe[1], &number, 1) < 0) {
    // A full pipe already holds signals to act on.
  }
  errno = saved;
}

}  // namespace

TStationSignals::TStationSignals() {
  if (::pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) SignalPipe[0] = SignalPipe[1] = -1;
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int i = 0; i < 4; ++i) ::sigaction(kSignals[i], &action, &FPrevious[i]);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &FPreviousPipe);
}

TStationSignals::~TStationSignals() {
  for (int i = 0; i < 4; ++i) ::sigaction(kSignals[i], &FPrevious[i], nullptr);
  ::sigaction(SIGPIPE, &FPreviousPipe, nullptr);
  for (int& fd : SignalPipe) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

int TStationSignals::Fd() const {
  return SignalPipe[0];
}

std::vector<int> TStationSignals::Take() {
  std::vector<int> arrived;
  unsigned char number = 0;
  while (SignalPipe[0] >= 0 && ::read(SignalPipe[0], &number, 1) == 1) arrived.push_back(number);
  return arrived;
}

}  // namespace kestrel
