#pragma once
// A real serial device server for tests: ser2net on the loopback, serving
// the pseudo-terminal of a stand-alone simulated unit through an RFC 2217
// accepter and a raw TCP accepter on free ports. Stopped by process id.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <thread>
#include <vector>

#include "E2eSupport.h"
#include "serialdevice/AwFd.h"

namespace kestrel::e2e {

// The loopback address with `port` (0: any free one).
inline sockaddr_in LoopbackAddress(int port = 0) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(uint16_t(port));
  return addr;
}

// The port a socket is bound to; 0 when it is not.
inline int BoundPort(int fd) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return ntohs(addr.sin_port);
}

// A loopback port nothing listens on right now.
inline int FreeLoopbackPort() {
  TApdFd fd(::socket(AF_INET, SOCK_STREAM, 0));
  const sockaddr_in addr = LoopbackAddress();
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) return 0;
  return BoundPort(fd.get());
}

inline bool Accepts(int port) {
  TApdFd fd(::socket(AF_INET, SOCK_STREAM, 0));
  const sockaddr_in addr = LoopbackAddress(port);
  return ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
}

// Makes `fd` listen on a free loopback port with room for `backlog`
// connections; the port.
inline int ListenOnLoopback(int fd, int backlog) {
  const sockaddr_in addr = LoopbackAddress();
  ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  ::listen(fd, backlog);
  return BoundPort(fd);
}

// A listener whose queue of connections is full: connecting to it hangs,
// as to a host that does not answer.
struct TSilentHost {
  TSilentHost() {
    const sockaddr_in addr = LoopbackAddress(Port);
    for (auto& fd : Queue) {
      fd.reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
      ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    }
  }
  TApdFd Listener{::socket(AF_INET, SOCK_STREAM, 0)};
  int Port = ListenOnLoopback(Listener.get(), 0);
  TApdFd Queue[3];
};

// A listener that takes every connection and hangs up at once, as a
// gateway does that has nothing behind it.
struct THangingUpHost {
  THangingUpHost() {
    Server = std::thread([this] {
      while (!Stop) {
        pollfd ready{Listener.get(), POLLIN, 0};
        if (::poll(&ready, 1, 20) <= 0) continue;
        // Its end of the connection only: closing the socket with the
        // client's bytes unread would reset the connection instead.
        Taken.emplace_back(::accept(Listener.get(), nullptr, nullptr));
        ::shutdown(Taken.back().get(), SHUT_WR);
      }
    });
  }
  ~THangingUpHost() {
    Stop = true;
    Server.join();
  }
  TApdFd Listener{::socket(AF_INET, SOCK_STREAM, 0)};
  int Port = ListenOnLoopback(Listener.get(), 4);
  std::vector<TApdFd> Taken;  // the server thread's
  std::atomic<bool> Stop{false};
  std::thread Server;
};

class TSer2net {
 public:
  // `unitArgs` for kestrel-unit-sim (its images go to <Folder>/flash).
  explicit TSer2net(std::vector<std::string> unitArgs = {}) {
    unitArgs.insert(unitArgs.begin(), "--dir=flash");
    Unit =
        std::make_unique<TChild>(BinPath("kestrel-unit-sim"), unitArgs, Folder.Path(),
                                 std::map<std::string, std::string>{}, Folder / "unit.txt", true);
    Pty = Unit->StdoutLine();
    Start(Pty);
  }
  // Serves `device` (a pseudo-terminal the test holds) without a unit.
  struct TDevice {
    std::string Path;
  };
  explicit TSer2net(const TDevice& device) { Start(device.Path); }

  std::string Rfc2217() const { return "rfc2217://127.0.0.1:" + std::to_string(Rfc2217Port); }
  std::string Tcp() const { return "tcp://127.0.0.1:" + std::to_string(TcpPort); }
  // Kills the server (the connections drop at once).
  void Kill() { Server.reset(); }
  std::string Image(const std::string& address) const {
    return ReadFile(Folder / "flash" / (address + ".bin"));
  }

  TScratch Folder;
  std::unique_ptr<TChild> Unit;
  std::unique_ptr<TChild> Server;
  std::string Pty;
  int Rfc2217Port = 0;
  int TcpPort = 0;

 private:
  void Start(const std::string& device) {
    Rfc2217Port = FreeLoopbackPort();
    TcpPort = FreeLoopbackPort();
    const std::string connector = "  connector: serialdev," + device + ",115200n81,local\n";
    WriteFile(Folder / "ser2net.yaml",
              "connection: &rfc\n  accepter: telnet(rfc2217),tcp,127.0.0.1," +
                  std::to_string(Rfc2217Port) + "\n" + connector +
                  "  options:\n    kickolduser: true\n"
                  "connection: &raw\n  accepter: tcp,127.0.0.1," +
                  std::to_string(TcpPort) + "\n" + connector +
                  "  options:\n    kickolduser: true\n");
    Server = std::make_unique<TChild>(
        "/usr/sbin/ser2net", std::vector<std::string>{"-n", "-d", "-c", "ser2net.yaml"},
        Folder.Path(), std::map<std::string, std::string>{}, Folder / "ser2net.txt");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!(Accepts(Rfc2217Port) && Accepts(TcpPort)) &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
};

}  // namespace kestrel::e2e
