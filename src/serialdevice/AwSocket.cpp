#include "serialdevice/AwSocket.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "messages/AdErrorCodes.h"

namespace kestrel {

namespace {

// A silent peer is given up after about 5 + 3 * 2 seconds without traffic,
// and unacknowledged output after 10 seconds.
constexpr int kKeepIdleS = 5, kKeepIntervalS = 2, kKeepCount = 3;
constexpr unsigned kUserTimeoutMs = 10000;

std::string ErrnoText(int err) {
  switch (err) {
    case ECONNREFUSED:
      return "connection refused";
    case ETIMEDOUT:
      return "the server stopped answering";
    case ECONNRESET:
      return "connection reset by the server";
    case EHOSTUNREACH:
      return "host unreachable";
    case ENETUNREACH:
      return "network unreachable";
    case EPIPE:
      return "connection closed by the server";
    default:
      return std::strerror(err);
  }
}

void KeepAlive(int fd) {
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleS, sizeof kKeepIdleS);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalS, sizeof kKeepIntervalS);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount);
  ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUserTimeoutMs, sizeof kUserTimeoutMs);
  // Small writes (commands, echoes) go at once.
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

}  // namespace

bool ParseNetAddress(std::string_view text, TNetAddress& address, std::string& why) {
  size_t colon;
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      why = "expected [ADDRESS]:PORT";
      return false;
    }
    address.Host = std::string(text.substr(1, close - 1));
    colon = close + 1;
  } else {
    colon = text.rfind(':');
    if (colon == std::string_view::npos) {
      why = "no port (expected HOST:PORT)";
      return false;
    }
    address.Host = std::string(text.substr(0, colon));
  }
  address.Port = std::string(text.substr(colon + 1));
  while (!address.Port.empty() && address.Port.back() == '/') address.Port.pop_back();
  if (address.Host.empty()) {
    why = "no host (expected HOST:PORT)";
    return false;
  }
  if (address.Port.empty() || address.Port.find_first_not_of("0123456789") != std::string::npos ||
      address.Port.size() > 5 || std::stoi(address.Port) == 0 || std::stoi(address.Port) > 65535) {
    why = "the port must be a number from 1 to 65535";
    return false;
  }
  return true;
}

TApdSocket::TApdSocket() = default;

int TApdSocket::Connect(const TNetAddress& address, std::string& why) {
  struct addrinfo hints {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  // No AI_ADDRCONFIG: on a machine with only the loopback (a container, an
  // SSH tunnel's end) it would hide "localhost" itself.
  hints.ai_flags = AI_NUMERICSERV;
  struct addrinfo* found = nullptr;
  if (int rc = ::getaddrinfo(address.Host.c_str(), address.Port.c_str(), &hints, &found)) {
    why = rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc);
    return ecFileNotFound;
  }
  if (!CloseEvent_.valid()) {
    ::freeaddrinfo(found);
    why = std::strerror(errno);
    return ecOutOfMemory;
  }
  int lastErr = ECONNREFUSED;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kConnectMs);
  for (auto* ai = found; ai; ai = ai->ai_next) {
    TApdFd fd(
        ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol));
    if (!fd.valid()) {
      lastErr = errno;
      continue;
    }
    int rc = ::connect(fd.get(), ai->ai_addr, ai->ai_addrlen);
    if (rc != 0 && errno == EINPROGRESS) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      struct pollfd fds[2] = {{fd.get(), POLLOUT, 0}, {CloseEvent_.get(), POLLIN, 0}};
      int ready;
      do {
        ready = ::poll(fds, 2, int(std::max<int64_t>(left.count(), 0)));
      } while (ready < 0 && errno == EINTR);
      if (fds[1].revents) {
        ::freeaddrinfo(found);
        why = "closed while connecting";
        return ecCommNotOpen;
      }
      int err = ETIMEDOUT;
      socklen_t len = sizeof err;
      if (ready > 0) ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len);
      rc = err == 0 ? 0 : -1;
      errno = err;
    }
    if (rc != 0) {
      lastErr = errno;
      if (lastErr == ETIMEDOUT) break;  // the time is spent
      continue;
    }
    KeepAlive(fd.get());
    Fd_ = std::move(fd);
    ::freeaddrinfo(found);
    return ecOK;
  }
  ::freeaddrinfo(found);
  why = lastErr == ETIMEDOUT ? "no answer within " + std::to_string(kConnectMs / 1000) + " seconds"
                             : ErrnoText(lastErr);
  return lastErr == ECONNREFUSED || lastErr == ETIMEDOUT ? ecFileNotFound : -lastErr;
}

void TApdSocket::Close() {
  if (Closed_.exchange(true)) return;
  if (Fd_.valid()) ::shutdown(Fd_.get(), SHUT_RDWR);
  CloseEvent_.Signal();
}

void TApdSocket::Fail(int err) {
  int none = 0;
  FailedErrno_.compare_exchange_strong(none, err);
}

int TApdSocket::Send(const uint8_t* data, int n) {
  if (Closed_ || FailedErrno_ || !Fd_.valid()) return -1;
  if (n <= 0) return 0;
  ssize_t put;
  do {
    put = ::send(Fd_.get(), data, size_t(n), MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (put < 0 && errno == EINTR);
  if (put >= 0) return int(put);
  if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
  Fail(errno);
  return -1;
}

int TApdSocket::Receive(uint8_t* buffer, int n) {
  if (Closed_ || FailedErrno_ || !Fd_.valid()) return -1;
  ssize_t got;
  do {
    got = ::recv(Fd_.get(), buffer, size_t(n), MSG_DONTWAIT);
  } while (got < 0 && errno == EINTR);
  if (got > 0) return int(got);
  if (got == 0) {
    Fail(-1);
    return -1;
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
  Fail(errno);
  return -1;
}

int TApdSocket::Wait(short events, int otherFd, int ms) {
  if (Closed_ || FailedErrno_ || !Fd_.valid()) return -1;
  struct pollfd fds[3] = {
      {CloseEvent_.get(), POLLIN, 0}, {Fd_.get(), events, 0}, {otherFd, POLLIN, 0}};
  int rc;
  do {
    rc = ::poll(fds, otherFd >= 0 ? 3 : 2, ms);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0 || fds[0].revents || Closed_) return -1;
  if (otherFd >= 0 && fds[2].revents) return 1;
  if (fds[1].revents & (POLLERR | POLLNVAL)) {
    int err = ECONNRESET;
    socklen_t len = sizeof err;
    ::getsockopt(Fd_.get(), SOL_SOCKET, SO_ERROR, &err, &len);
    Fail(err ? err : ECONNRESET);
    return -1;
  }
  // A hang-up with bytes still to read is left to Receive, which meets the end.
  if (fds[1].revents & events) return 0;
  if (fds[1].revents & POLLHUP) {
    if (events & POLLIN) return 0;
    Fail(EPIPE);
    return -1;
  }
  return 2;
}

int TApdSocket::WaitWritable(int otherFd, int ms) {
  return Wait(POLLOUT, otherFd, ms);
}

int TApdSocket::WaitReadable(int otherFd, int ms) {
  return Wait(POLLIN, otherFd, ms);
}

int TApdSocket::OutQueue() const {
  int queued = 0;
  if (!Fd_.valid() || ::ioctl(Fd_.get(), SIOCOUTQ, &queued) != 0 || queued < 0) return 0;
  return queued;
}

std::string TApdSocket::Failure() const {
  const int err = FailedErrno_.load();
  if (err == -1) return "connection closed by the server";
  if (err == 0) return Closed_ ? "closed" : "";
  return ErrnoText(err);
}

}  // namespace kestrel
