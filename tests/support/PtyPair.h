#pragma once
// A pseudo-terminal pair for device tests: the test holds the master side,
// the device under test opens the slave path.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "serialdevice/AwFd.h"

namespace kestrel::test {

class PtyPair {
 public:
  PtyPair() : master_(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
    if (!master_.valid() || ::grantpt(master_.get()) != 0 || ::unlockpt(master_.get()) != 0) {
      return;
    }
    char name[128];
    if (::ptsname_r(master_.get(), name, sizeof name) == 0) slavePath_ = name;
    // Keep the slave open ourselves until the device has it, so the
    // master never reports a hang-up in between.
    holder_.reset(::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    struct termios tio {};
    ::tcgetattr(holder_.get(), &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(holder_.get(), TCSANOW, &tio);
  }

  bool ok() const { return master_.valid() && holder_.valid(); }
  const std::string& slavePath() const { return slavePath_; }
  int master() const { return master_.get(); }
  // Lets the device be the only one holding the slave side.
  void DropHolder() { holder_.reset(); }
  void CloseMaster() { master_.reset(); }

  // Writes everything, waiting for room as needed.
  bool WriteAll(const uint8_t* data, size_t n) {
    while (n > 0) {
      ssize_t put = ::write(master_.get(), data, n);
      if (put > 0) {
        data += put;
        n -= static_cast<size_t>(put);
        continue;
      }
      if (put < 0 && errno != EAGAIN) return false;
      struct pollfd p = {master_.get(), POLLOUT, 0};
      if (::poll(&p, 1, 10000) <= 0) return false;
    }
    return true;
  }
  bool WriteAll(const std::string& s) {
    return WriteAll(reinterpret_cast<const uint8_t*>(s.data()), s.size());
  }

  // Reads until n bytes came or `timeout` passed without any byte.
  std::vector<uint8_t> ReadSome(size_t n, std::chrono::milliseconds timeout) {
    std::vector<uint8_t> out;
    while (out.size() < n) {
      struct pollfd p = {master_.get(), POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) break;
      uint8_t buf[4096];
      ssize_t got = ::read(master_.get(), buf, std::min(sizeof buf, n - out.size()));
      if (got <= 0) break;
      out.insert(out.end(), buf, buf + got);
    }
    return out;
  }

 private:
  TApdFd master_;
  TApdFd holder_;
  std::string slavePath_;
};

}  // namespace kestrel::test
