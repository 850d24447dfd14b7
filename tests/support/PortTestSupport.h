#pragma once
// Shared by the port-component tests: the application object, simulated
// ports reachable by port number, ports mapped to nothing, and pumping the
// window thread's events until a condition holds.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QCoreApplication>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "AwuserTestUtil.h"
#include "WaitUntil.h"
#include "serial/qt/Adport.h"
#include "serial/qt/QtYield.h"
#include "serialdevice/AwPortPath.h"
#include "serialdevice/AwSim.h"

namespace kestrel::test {

inline QApplication& App() {
  static int argc = 1;
  static char name[] = "serialqt_test";
  static char* argv[] = {name, nullptr};
  static QApplication app(argc, argv);
  static const bool yieldInstalled = (InstallQtYield(), true);
  (void)yieldInstalled;
  return app;
}

// Points port n at a path that does not exist.
inline void MapMissing(int n) {
  const std::string path = "/nonexistent/kestrel-test/port" + std::to_string(n);
  ::setenv(("KESTREL_COM" + std::to_string(n)).c_str(), path.c_str(), 1);
}

// Every port the tests could touch (the dialog tries 1..50) goes nowhere
// unless a test maps it itself.
inline void MapAllPortsMissing() {
  for (int n = 0; n <= 60; ++n) MapMissing(n);
}

inline void MapPath(int n, const std::string& path) {
  ::setenv(("KESTREL_COM" + std::to_string(n)).c_str(), path.c_str(), 1);
}

// Simulated cables served to the component through the "qtsim:" scheme.
class TSimPorts {
 public:
  // A fresh cable for port n of `ports` (a port's own map, or its
  // context's); the test holds its far end.
  static std::shared_ptr<TApdSimFarEnd> Attach(TPortMap& ports, int n, TSimOptions options = {}) {
    const std::string path = "qtsim:" + std::to_string(n);
    options.path = path;
    auto pair = CreateSimDevice(options);
    {
      std::lock_guard guard(Lock());
      Cables()[path] = pair.far;
    }
    Offer(ports);
    MapPath(n, path);
    return pair.far;
  }
  // Makes the cables attached so far reachable through `ports` as well.
  static void Offer(TPortMap& ports) { ports.RegisterDeviceScheme("qtsim", &Create); }

 private:
  static std::unique_ptr<TApdSerialDevice> Create(const std::string& path) {
    std::lock_guard guard(Lock());
    auto it = Cables().find(path);
    if (it == Cables().end()) return nullptr;
    return it->second->MakePortDevice();
  }
  static std::mutex& Lock() {
    static std::mutex lock;
    return lock;
  }
  static std::map<std::string, std::shared_ptr<TApdSimFarEnd>>& Cables() {
    static std::map<std::string, std::shared_ptr<TApdSimFarEnd>> cables;
    return cables;
  }
};

// The window thread's view: window events keep being handled while `cond`
// is polled; false when `limit` ran out (a safety net for a loaded machine,
// never a measurement).
inline bool PumpUntil(const std::function<bool()>& cond,
                      std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Waits without handling window events (a thread's view).
inline bool WaitUntilPlain(const std::function<bool()>& cond,
                           std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  return WaitUntil(cond, limit);
}

// Handles window events until the port's dispatch thread has run `cycles`
// whole cycles (see PassDispatchCycles); false when the port is closed.
inline bool PumpDispatchCycles(TApdCustomComPort& port, int cycles = 3) {
  TApdBaseDispatcher* dispatcher = port.GetDispatcher();
  return dispatcher && PassDispatchCycles(*dispatcher, cycles, PumpUntil);
}

// Handles window events for about `ms` milliseconds.
inline void PumpFor(int ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < until) {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

inline std::string ToString(const std::vector<uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// A component on port 1, a simulated cable whose far end the test holds,
// every other port mapped to nothing; AutoOpen off as on the main window.
class TSimPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    MapAllPortsMissing();
    far = TSimPorts::Attach(port.PortMap(), 1);
    port.SetComNumber(1);
    port.SetAutoOpen(false);
  }
  void TearDown() override { MapAllPortsMissing(); }

  std::shared_ptr<TApdSimFarEnd> far;
  TApdComPort port;
};

}  // namespace kestrel::test
