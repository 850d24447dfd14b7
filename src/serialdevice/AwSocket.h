#pragma once
// The TCP connection under a network serial line: "HOST:PORT" parsed,
// resolved and connected within a bounded time, with keep-alive so that a
// peer that vanishes is noticed, and a close that wakes every wait at once.
//
// Thread contract: Connect on one thread before the connection is shared;
// then Send by one caller at a time, Receive by one caller at a time, the
// waits and OutQueue from any thread; Close from any thread at any time.
// The descriptor stays valid until the object is destroyed, so no wait ever
// meets a reused number.

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "serialdevice/AwFd.h"

namespace kestrel {

struct TNetAddress {
  std::string Host;
  std::string Port;
};

// "host:port", "[v6 address]:port"; false with the reason when it is none.
bool ParseNetAddress(std::string_view text, TNetAddress& address, std::string& why);

class TApdSocket {
 public:
  // How long a connect may take before the host counts as not answering.
  static constexpr int kConnectMs = 5000;

  TApdSocket();

  // 0, or a negative result code with the reason ("connection refused",
  // "Name or service not known", ...) in `why`.
  int Connect(const TNetAddress& address, std::string& why);
  // Shuts the connection down and wakes every wait; idempotent.
  void Close();
  bool Closed() const { return Closed_.load(); }

  // Never block: bytes moved (0 when none can move now), or -1 when the
  // connection has ended (the reason in Failure()).
  int Send(const uint8_t* data, int n);
  int Receive(uint8_t* buffer, int n);

  // Blocks until the socket can take more (or has bytes, for WaitReadable),
  // `otherFd` becomes readable (returns 1), `ms` pass (returns 2; -1 waits
  // without limit), or the connection closes or fails (returns -1).
  int WaitWritable(int otherFd, int ms = -1);
  int WaitReadable(int otherFd, int ms);
  // The same for any poll() events (0: only the end of the connection).
  int Wait(short events, int otherFd, int ms);

  // Bytes sent that the peer has not yet acknowledged, plus those not sent.
  int OutQueue() const;
  // Why the connection ended: "connection reset by peer", ...
  std::string Failure() const;

 private:
  void Fail(int err);

  TApdFd Fd_;
  TApdEventFd CloseEvent_;
  std::atomic<bool> Closed_{false};
  std::atomic<int> FailedErrno_{0};  // 0 while the connection stands; -1 for an orderly end
};

}  // namespace kestrel
