// Port numbers to paths, the console guard and the device-scheme registry.
#include "serialdevice/AwPortPath.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <thread>

#include "PtyPair.h"
#include "ScratchFolder.h"
#include "messages/AdErrorCodes.h"
#include "serialdevice/AwPosix.h"
#include "serialdevice/AwSim.h"

namespace kestrel {
namespace {

// A console-list file of the test's own.
class ConsoleList {
 public:
  explicit ConsoleList(const std::string& names) : path_((folder_ / "active").string()) {
    std::ofstream(path_) << names << "\n";
  }
  const std::string& path() const { return path_; }

 private:
  test::TScratch folder_;
  std::string path_;
};

// Sets KESTREL_COM<n> for the test's lifetime.
class PortVariable {
 public:
  PortVariable(int n, const std::string& value) : name_("KESTREL_COM" + std::to_string(n)) {
    ::setenv(name_.c_str(), value.c_str(), 1);
  }
  ~PortVariable() { ::unsetenv(name_.c_str()); }

 private:
  std::string name_;
};

TEST(PortPath, VariableElseTheNthSerialPort) {
  ::unsetenv("KESTREL_COM3");
  const TPortMap map;
  EXPECT_EQ(map.ResolvePortPath(1), "/dev/ttyS0");
  EXPECT_EQ(map.ResolvePortPath(12), "/dev/ttyS11");
  EXPECT_FALSE(map.IsPortMappedExplicitly(3));
  {
    PortVariable mapped(3, "/dev/ttyUSB0");
    EXPECT_EQ(map.ResolvePortPath(3), "/dev/ttyUSB0");
    EXPECT_TRUE(map.IsPortMappedExplicitly(3));
  }
  {
    PortVariable empty(3, "");
    EXPECT_EQ(map.ResolvePortPath(3), "/dev/ttyS2");
    EXPECT_FALSE(map.IsPortMappedExplicitly(3));
  }
}

TEST(PortPath, ConsoleDevicesAreRecognised) {
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  const std::string ptyName = pty.slavePath().substr(5);  // "pts/N"
  ConsoleList list("tty0 " + ptyName);
  const TPortMap map(list.path());
  EXPECT_TRUE(map.IsConsoleDevice(pty.slavePath()));
  EXPECT_TRUE(map.IsConsoleDevice("/dev/console"));
  EXPECT_TRUE(map.IsConsoleDevice("/dev/tty"));
  EXPECT_FALSE(map.IsConsoleDevice("/dev/null"));
  EXPECT_FALSE(map.IsConsoleDevice("/dev/kestrel-no-such-port"));
  EXPECT_FALSE(map.IsConsoleDevice(list.path()));  // a plain file
  {
    ConsoleList other("ttyS0");
    EXPECT_FALSE(TPortMap(other.path()).IsConsoleDevice(pty.slavePath()));
  }
  // Through a symbolic link, as /dev/serial/by-id/... are.
  const std::string link = list.path() + ".link";
  ASSERT_EQ(::symlink(pty.slavePath().c_str(), link.c_str()), 0);
  EXPECT_TRUE(IsConsoleDevice(link, list.path()));
  ::unlink(link.c_str());
}

TEST(PortPath, ConsoleIsOpenedOnlyWhenNamedExplicitly) {
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  ConsoleList list(pty.slavePath().substr(5));
  const TPortMap map(list.path());
  {
    auto dev = map.CreateSerialDevice(pty.slavePath());
    ASSERT_TRUE(dev);
    EXPECT_EQ(dev->Open(), ecFileNotFound);
    EXPECT_FALSE(dev->IsOpen());
    // Nothing was opened behind our back: the port is still free.
    TApdPosixDevice probe(pty.slavePath());
    EXPECT_EQ(probe.Open(), ecOK);
  }
  PortVariable mapped(7, pty.slavePath());
  auto dev = map.CreatePortDevice(7);
  ASSERT_TRUE(dev);
  EXPECT_EQ(dev->Path(), pty.slavePath());
  EXPECT_EQ(dev->Open(), ecOK);
}

TEST(PortPath, DefaultMappedSystemConsoleIsNeverOpened) {
  struct stat st {};
  if (::stat("/dev/ttyS0", &st) != 0 || !S_ISCHR(st.st_mode)) GTEST_SKIP() << "no /dev/ttyS0";
  ::unsetenv("KESTREL_COM1");
  ConsoleList list("ttyS0");
  const TPortMap map(list.path());
  auto dev = map.CreatePortDevice(1);
  ASSERT_TRUE(dev);
  EXPECT_EQ(dev->Path(), "/dev/ttyS0");
  // Checked before Open: a termios device here would open the real console.
  ASSERT_EQ(dynamic_cast<TApdPosixDevice*>(dev.get()), nullptr);
  EXPECT_EQ(dev->Open(), ecFileNotFound);
}

std::unique_ptr<TApdSerialDevice> MakeTestSim(const std::string& path) {
  TSimOptions options;
  options.path = path;
  return std::move(CreateSimDevice(options).port);
}

std::unique_ptr<TApdSerialDevice> MakeNothing(const std::string&) {
  return nullptr;
}

TEST(DeviceSchemes, RegisteredSchemesGoToTheirFactory) {
  TPortMap map;
  map.RegisterDeviceScheme("testsim", &MakeTestSim);
  map.RegisterDeviceScheme("nothing", &MakeNothing);
  auto sim = map.CreateSerialDevice("testsim:unit2");
  ASSERT_TRUE(sim);
  EXPECT_NE(dynamic_cast<TApdSimDevice*>(sim.get()), nullptr);
  EXPECT_EQ(sim->Path(), "testsim:unit2");
  EXPECT_EQ(map.CreateSerialDevice("nothing:"), nullptr);

  // Not a scheme, or not registered: a termios device for the path as is.
  for (const char* path : {"/dev/tty:S0", "unknown:x", "9sim:x", "testsim"}) {
    auto dev = map.CreateSerialDevice(path);
    ASSERT_TRUE(dev) << path;
    EXPECT_NE(dynamic_cast<TApdPosixDevice*>(dev.get()), nullptr) << path;
    EXPECT_EQ(dev->Path(), path);
  }
  map.RegisterDeviceScheme("testsim", nullptr);
  map.RegisterDeviceScheme("nothing", nullptr);
  EXPECT_NE(dynamic_cast<TApdPosixDevice*>(map.CreateSerialDevice("testsim:unit2").get()), nullptr);
}

TEST(DeviceSchemes, RegistryIsSafeAcrossThreads) {
  TPortMap map;
  std::vector<std::thread> threads;
  std::atomic<int> sims{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &sims, &map] {
      const std::string scheme = "race" + std::to_string(t % 2);
      for (int i = 0; i < 500; ++i) {
        map.RegisterDeviceScheme(scheme, (i % 2) ? &MakeTestSim : nullptr);
        auto dev = map.CreateSerialDevice(scheme + ":x");
        if (dynamic_cast<TApdSimDevice*>(dev.get())) ++sims;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_GT(sims.load(), 0);
}

}  // namespace
}  // namespace kestrel
