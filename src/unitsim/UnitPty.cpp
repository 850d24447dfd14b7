#include "unitsim/UnitPty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace kestrel {

namespace {

constexpr size_t kMaxPending = 4096;  // unsent output before the unit is asked for more

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

TUnitPtyServer::TUnitPtyServer(TUnitOptions options)
    : options_(std::move(options)),
      session_(options_),
      inWire_(options_.BitsPerByte, options_.Baud, NowUs()) {}

int TUnitPtyServer::Open() {
  TApdFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!master.valid()) return -errno;
  if (::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0) return -errno;
  char name[128];
  if (::ptsname_r(master.get(), name, sizeof name) != 0) return -errno;
  TApdFd slave(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!slave.valid()) return -errno;
  termios tio{};
  if (::tcgetattr(slave.get(), &tio) != 0) return -errno;
  ::cfmakeraw(&tio);
  if (::tcsetattr(slave.get(), TCSANOW, &tio) != 0) return -errno;
  int flags = ::fcntl(master.get(), F_GETFL);
  if (flags < 0 || ::fcntl(master.get(), F_SETFL, flags | O_NONBLOCK) != 0) return -errno;
  master_ = std::move(master);
  slave_ = std::move(slave);
  slavePath_ = name;
  return 0;
}

int TUnitPtyServer::Serve(int stopFd) {
  if (!master_.valid()) return -EBADF;
  std::string pending;
  char buffer[4096];
  for (;;) {
    if (pending.size() < kMaxPending) pending += session_.TakeOutput();
    while (!pending.empty()) {
      ssize_t n = ::write(master_.get(), pending.data(), pending.size());
      if (n > 0) {
        session_.Sent(std::string_view(pending).substr(0, static_cast<size_t>(n)));
        pending.erase(0, static_cast<size_t>(n));
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && errno != EAGAIN) {
        return -errno;
      } else {
        break;
      }
    }

    // While it writes flash (or CTS is stuck) the unit leaves the bytes in
    // the kernel: that is this line's only way to say "wait".
    bool reading = session_.AcceptsInput() && session_.Cts();
    size_t room = session_.InputRoom();
    int pacedWaitMs = -1;
    if (options_.Pace && reading) {
      // A wire that stood idle owes no time, but a receiver woken late
      // takes what crossed meanwhile: up to 10 ms of bytes at once.
      const int64_t burst =
          std::max<int64_t>(64, int64_t(options_.Baud) / std::max(1, options_.BitsPerByte) / 100);
      const int64_t now = NowUs();
      int64_t due = inWire_.Due(now);
      if (due > burst) {
        inWire_.Restart(now);
        inWire_.Take(-burst);
        due = burst;
      }
      room = std::min<size_t>(room, size_t(due));
      if (room == 0) {
        reading = false;
        pacedWaitMs = int(std::max<int64_t>(1, (inWire_.NextUs() - now + 999) / 1000));
      }
    }
    pollfd fds[2] = {{stopFd, POLLIN, 0}, {master_.get(), 0, 0}};
    if (reading) fds[1].events |= POLLIN;
    if (!pending.empty()) fds[1].events |= POLLOUT;
    // A backlog nobody reads waits for the reader, not for the unit's timers.
    int waitMs =
        pending.size() >= kMaxPending ? 1000 : session_.WaitMs(pending.empty() ? 1000 : 50);
    if (pacedWaitMs >= 0) waitMs = waitMs < 0 ? pacedWaitMs : std::min(waitMs, pacedWaitMs);
    int rc = ::poll(fds, 2, waitMs);
    if (rc < 0) {
      if (errno == EINTR) continue;
      return -errno;
    }
    if (fds[0].revents != 0) return 0;
    if (fds[1].revents & (POLLERR | POLLNVAL)) return -EIO;
    if (reading && (fds[1].revents & (POLLIN | POLLHUP))) {
      ssize_t n = ::read(master_.get(), buffer, std::min(sizeof buffer, room));
      if (n > 0) {
        if (options_.Pace) inWire_.Take(n);
        session_.Received(std::string_view(buffer, static_cast<size_t>(n)));
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        return -errno;
      }
    }
  }
}

}  // namespace kestrel
