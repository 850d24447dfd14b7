#pragma once
// Small owners for file descriptors used by the device layers.

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

namespace kestrel {

// Owns one descriptor and closes it. Thread contract: one owner thread;
// get() may be read by any thread while the owner keeps it alive.
class TApdFd {
 public:
  TApdFd() = default;
  explicit TApdFd(int fd) : fd_(fd) {}
  TApdFd(TApdFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  TApdFd& operator=(TApdFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  TApdFd(const TApdFd&) = delete;
  TApdFd& operator=(const TApdFd&) = delete;
  ~TApdFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// A non-blocking eventfd used as a wake-up signal. Thread contract: Signal
// and Drain from any thread; the object itself is owned by one thread.
class TApdEventFd {
 public:
  TApdEventFd() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
  bool valid() const { return fd_.valid(); }
  int get() const { return fd_.get(); }
  void Signal() const {
    const uint64_t one = 1;
    while (::write(fd_.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
  }
  void Drain() const {
    uint64_t value;
    while (::read(fd_.get(), &value, sizeof value) < 0 && errno == EINTR) {
    }
  }

 private:
  TApdFd fd_;
};

}  // namespace kestrel
