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
  FHeld.emplace(std::initializer_list<int>{SIGINT, SIGTERM, SIGHUP, SIGCHLD}, on_signal);
}

TStationSignals::~TStationSignals() {
  FHeld.reset();
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
