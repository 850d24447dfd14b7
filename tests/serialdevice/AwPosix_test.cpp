// The termios device on pseudo-terminals.
#include "serialdevice/AwPosix.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <thread>

#include "PtyPair.h"
#include "ScratchFolder.h"
#include "WaitUntil.h"
#include "messages/AdErrorCodes.h"
#include "messages/Adexcept.h"
#include "serialdevice/AwPortPath.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using test::PtyPair;

// Reads from the device until n bytes came, waiting through WaitEvent.
std::vector<uint8_t> DeviceRead(TApdSerialDevice& dev, size_t n) {
  std::vector<uint8_t> out;
  uint8_t buf[1500];
  while (out.size() < n) {
    const int got = dev.Read(buf, static_cast<int>(std::min(sizeof buf, n - out.size())));
    if (got > 0) {
      out.insert(out.end(), buf, buf + got);
      continue;
    }
    uint32_t happened = 0;
    if (dev.WaitEvent(ev_RxChar, happened) != kWaitReady) break;
  }
  return out;
}

bool DeviceWriteAll(TApdSerialDevice& dev, const uint8_t* data, size_t n) {
  while (n > 0) {
    const int put = dev.Write(data, static_cast<int>(n));
    if (put < 0) return false;
    data += put;
    n -= static_cast<size_t>(put);
    if (n > 0 && dev.WaitWritable(-1) != kWaitReady) return false;
  }
  return true;
}

class PosixDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    ASSERT_EQ(dev.Open(), ecOK);
  }
  PtyPair pty;
  TApdPosixDevice dev{pty.slavePath()};
};

TEST_F(PosixDeviceTest, BytesPassBothWaysUnchanged) {
  // Every byte value, including CR, LF, XON/XOFF and the interrupt
  // characters a cooked terminal would act on.
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  ASSERT_TRUE(DeviceWriteAll(dev, all.data(), all.size()));
  EXPECT_EQ(pty.ReadSome(all.size(), 5000ms), all);

  ASSERT_TRUE(pty.WriteAll(all.data(), all.size()));
  EXPECT_EQ(DeviceRead(dev, all.size()), all);
}

TEST_F(PosixDeviceTest, ReadWithNothingReceivedReturnsZeroAtOnce) {
  uint8_t buf[8192];
  EXPECT_EQ(dev.Read(buf, sizeof buf), 0);
}

TEST_F(PosixDeviceTest, SecondOpenOfTheSamePortIsInUse) {
  TApdPosixDevice second(pty.slavePath());
  EXPECT_EQ(second.Open(), ecAccessDenied);
  EXPECT_FALSE(second.IsOpen());
  dev.Close();
  EXPECT_EQ(second.Open(), ecOK);
}

TEST(PosixDeviceOpen, FailuresAreToldApart) {
  TApdPosixDevice missing("/dev/kestrel-no-such-port");
  EXPECT_EQ(missing.Open(), ecFileNotFound);
  EXPECT_FALSE(missing.IsOpen());
  TApdPosixDevice badPath("/dev/null/ttyS0");
  EXPECT_EQ(badPath.Open(), ecPathNotFound);

  // What opens, or is there, but is no serial line is named for what it is.
  test::TScratch folder;
  test::WriteFile(folder / "file", "abc");
  const std::string socketPath = (folder / "socket").string();
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const std::pair<std::string, const char*> notSerial[] = {
      {(folder / "file").string(), "(a regular file)"},
      {folder.Path().string(), "(a folder)"},
      {socketPath, "(a Unix socket)"},
      {"/dev/null", "(a device that is no terminal)"},
      {"/dev/urandom", "(a device that is no terminal)"}};
  for (const auto& [path, kind] : notSerial) {
    TApdPosixDevice device(path);
    EXPECT_LT(device.Open(), 0) << path;
    EXPECT_EQ(device.LastOpenFailure(), TOpenFailure::ofNotSerial) << path;
    EXPECT_EQ(OpenFailureText(device.LastOpenFailure(), path),
              std::string("not a serial device ") + kind);
  }
  ::close(listener);
  EXPECT_EQ(test::ReadFile(folder / "file"), "abc");
}

TEST(PosixDeviceErrors, ErrnoMapsOntoTheCodesTheLoaderTellsApart) {
  struct Case {
    int err;
    bool atOpen;
    int code;
  };
  const Case cases[] = {
      {ENOENT, true, ecFileNotFound},
      {ENODEV, true, ecFileNotFound},
      {ENXIO, true, ecFileNotFound},
      {EIO, true, ecFileNotFound},
      {ENOTDIR, true, ecPathNotFound},
      {EBUSY, true, ecAccessDenied},
      {EACCES, true, ecAccessDenied},
      {EPERM, true, ecAccessDenied},
      {EWOULDBLOCK, true, ecAccessDenied},
      {ENOMEM, true, ecOutOfMemory},
      {EINVAL, false, ecInvalidParameter},
      {ENOTTY, true, -ENOTTY},
      {EWOULDBLOCK, false, -EWOULDBLOCK},
      {EMFILE, true, ecTooManyFiles},
      {EBADF, false, ecInvalidHandle},
      {ENOBUFS, false, ecOutOfMemory},
      // A device that vanished later must not read as "in use" (-EIO = -5).
      {EIO, false, ecFileNotFound},
      // Numbers whose own negative has an unrelated row in the message table.
      {EINTR, false, ecHardwareFailure},
      {ESRCH, false, ecHardwareFailure},
      {ECONNRESET, false, ecHardwareFailure},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ApdResultFromErrno(c.err, c.atOpen), c.code) << "errno " << c.err;
  }
}

// Whatever errno a call fails with, the operator reads a text that belongs
// to it: the platform's own, or a table text chosen for it, never the text
// of an unrelated table row, and never the bare "Kelp exception".
TEST(PosixDeviceErrors, EveryErrnoGetsAFittingText) {
  for (int err = 1; err <= 200; ++err) {
    for (const bool atOpen : {true, false}) {
      const int code = ApdResultFromErrno(err, atOpen);
      ASSERT_LT(code, 0) << "errno " << err;
      const std::string text = KelpLoadStr(code);
      EXPECT_FALSE(text.empty()) << "errno " << err;
      // Passed through as itself: the platform's text ("File not found" is
      // chosen for ENOENT, "General failure" for what has no fitting text).
      if (code == -err && code != ecFileNotFound && code != ecHardwareFailure) {
        EXPECT_EQ(text, NormaliseMessageText(std::strerror(err))) << "errno " << err;
      }
      try {
        CheckException(nullptr, code);
        ADD_FAILURE() << "errno " << err << " raised nothing";
      } catch (const EAPDException& e) {
        EXPECT_NE(e.Message(), "Kelp exception") << "errno " << err;
      } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), code == ecOutOfMemory ? "Out of memory" : text) << "errno " << err;
      }
    }
  }
}

TEST_F(PosixDeviceTest, LineSettingsRoundTrip) {
  struct Case {
    uint32_t baud;
    uint8_t size, parity, stop;
    uint32_t flags;
  };
  const uint32_t plain = dcb_Binary | dcb_DtrEnable | dcb_RtsEnable;
  const uint32_t hardware = dcb_Binary | dcb_DtrEnable | dcb_RtsHandshake | dcb_OutxCtsFlow;
  const Case cases[] = {
      {9600, 8, NOPARITY, ONESTOPBIT, plain},
      {115200, 7, EVENPARITY, TWOSTOPBITS, plain | dcb_Parity},
      {250000, 8, ODDPARITY, ONESTOPBIT, hardware},  // no standard rate: any-baud path
      {31250, 6, MARKPARITY, TWOSTOPBITS, plain},
      {1000000, 5, SPACEPARITY, ONE5STOPBITS, plain | dcb_OutX | dcb_InX},
      {57600, 5, NOPARITY, TWOSTOPBITS, dcb_Binary | dcb_DtrEnable | dcb_OutxCtsFlow},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.baud);
    TDeviceSettings s;
    ASSERT_EQ(dev.GetState(s), ecOK);
    s.BaudRate = c.baud;
    s.ByteSize = c.size;
    s.Parity = c.parity;
    s.StopBits = c.stop;
    s.Flags = c.flags;
    s.XonChar = 0x01;
    s.XoffChar = 0x02;
    s.XonLim = 409;
    s.XoffLim = 2096;
    ASSERT_EQ(dev.SetState(s), ecOK);
    TDeviceSettings back;
    ASSERT_EQ(dev.GetState(back), ecOK);
    EXPECT_EQ(back.BaudRate, c.baud);
    EXPECT_EQ(back.ByteSize, c.size);
    EXPECT_EQ(back.Parity, c.parity);
    EXPECT_EQ(back.StopBits, c.stop);
    EXPECT_EQ(back.Flags, c.flags);
    EXPECT_EQ(back.XonChar, 0x01);
    EXPECT_EQ(back.XoffChar, 0x02);
    EXPECT_EQ(back.XonLim, 409);
    EXPECT_EQ(back.XoffLim, 2096);
  }
  TDeviceSettings bad;
  ASSERT_EQ(dev.GetState(bad), ecOK);
  bad.StopBits = ONE5STOPBITS;  // only with 5 data bits
  bad.ByteSize = 8;
  EXPECT_EQ(dev.SetState(bad), ecInvalidParameter);
}

TEST_F(PosixDeviceTest, PseudoTerminalLinesReadAsLoopedBack) {
  EXPECT_FALSE(dev.HasModemLines());
  uint8_t levels = 0;
  EXPECT_EQ(dev.GetModemLines(levels), ecOK);
  EXPECT_EQ(levels, ms_CtsOn | ms_DsrOn | ms_RlsdOn);
  for (int f : {CLRDTR, SETDTR, CLRRTS, SETRTS}) EXPECT_EQ(dev.Escape(f), ecOK) << f;
  EXPECT_EQ(dev.Escape(SETBREAK), ecOK);
  EXPECT_EQ(dev.Escape(CLRBREAK), ecOK);
  EXPECT_EQ(dev.Escape(GETBASEADDRESS), 0);
  // CTS flow on a line without CTS never reports output held.
  TDeviceSettings s;
  ASSERT_EQ(dev.GetState(s), ecOK);
  s.Flags |= dcb_OutxCtsFlow;
  ASSERT_EQ(dev.SetState(s), ecOK);
  TDeviceStatus status;
  dev.GetError(status);
  EXPECT_EQ(status.HoldFlags, 0u);
}

TEST_F(PosixDeviceTest, StatusCountsAndPurge) {
  ASSERT_TRUE(pty.WriteAll("0123456789"));
  TDeviceStatus status;
  for (int i = 0; i < 10000 && status.InQue < 10; ++i) {
    dev.GetError(status);
    if (status.InQue < 10) std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(status.InQue, 10u);
  EXPECT_EQ(dev.Purge(PURGE_RXABORT | PURGE_RXCLEAR), ecOK);
  uint8_t buf[16];
  EXPECT_EQ(dev.Read(buf, sizeof buf), 0);
  // Bytes after a purge are reported as news.
  ASSERT_TRUE(pty.WriteAll("x"));
  uint32_t happened = 0;
  ASSERT_EQ(dev.WaitEvent(ev_RxChar, happened), kWaitReady);
  EXPECT_EQ(happened, ev_RxChar);
  EXPECT_EQ(dev.Read(buf, sizeof buf), 1);
}

double ThreadCpuSeconds() {
  struct timespec ts {};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

TEST_F(PosixDeviceTest, UnreadBytesDoNotWakeTheWaitAgain) {
  ASSERT_TRUE(pty.WriteAll("abc"));
  uint32_t happened = 0;
  ASSERT_EQ(dev.WaitEvent(ev_RxChar | ev_Cts, happened), kWaitReady);
  ASSERT_EQ(happened, ev_RxChar);
  // Nothing is read; the next wait must sleep, not spin, until news come.
  auto next = std::async(std::launch::async, [&] {
    const double cpu = ThreadCpuSeconds();
    uint32_t h = 0;
    const int rc = dev.WaitEvent(ev_RxChar | ev_Cts, h);
    return std::make_tuple(rc, h, ThreadCpuSeconds() - cpu);
  });
  EXPECT_EQ(next.wait_for(300ms), std::future_status::timeout);
  ASSERT_TRUE(pty.WriteAll("d"));
  const auto [rc, h, cpu] = next.get();
  EXPECT_EQ(rc, kWaitReady);
  EXPECT_EQ(h, ev_RxChar);
  EXPECT_LT(cpu, 0.1);  // a spinning wait burns the whole 300 ms
  uint8_t buf[16];
  EXPECT_EQ(dev.Read(buf, sizeof buf), 4);

  // After a partial read the rest is not news either, but new bytes are.
  ASSERT_TRUE(pty.WriteAll("efgh"));
  ASSERT_EQ(dev.WaitEvent(ev_RxChar, happened), kWaitReady);
  ASSERT_EQ(dev.Read(buf, 2), 2);
  ASSERT_TRUE(pty.WriteAll("i"));
  ASSERT_EQ(dev.WaitEvent(ev_RxChar, happened), kWaitReady);
  EXPECT_EQ(dev.Read(buf, sizeof buf), 3);
}

// Context switches a thread made by sleeping: one per wake-up of a wait.
long VoluntarySwitches(pid_t tid) {
  std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
  }
  return -1;
}

// A pseudo-terminal's writes are the other side's input at once, so each
// write is followed by one transmit-empty report; in between the wait sleeps.
TEST_F(PosixDeviceTest, TransmitEmptyFollowsEachWriteOnceAndTheWaitSleeps) {
  const uint32_t mask = ev_TxEmpty | ev_RxChar;
  const auto data = std::vector<uint8_t>(100, 0x41);
  std::atomic<pid_t> tid{0};
  // The event the wait reported, and the CPU time it took.
  auto waitEvent = [&] {
    return std::async(std::launch::async, [&] {
      tid = static_cast<pid_t>(::syscall(SYS_gettid));
      const double cpu = ThreadCpuSeconds();
      uint32_t h = 0;
      const int rc = dev.WaitEvent(mask, h);
      return std::make_pair(rc == kWaitReady ? h : 0u, ThreadCpuSeconds() - cpu);
    });
  };
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(DeviceWriteAll(dev, data.data(), data.size()));
    auto drained = waitEvent();
    if (drained.wait_for(10s) == std::future_status::timeout) dev.Close();  // ends the wait
    ASSERT_EQ(drained.get().first, ev_TxEmpty) << "no report after a write";
    EXPECT_EQ(pty.ReadSome(data.size(), 1s).size(), data.size());
  }

  tid = 0;
  auto idle = waitEvent();
  ASSERT_TRUE(test::WaitUntil([&] { return tid != 0; }));
  std::this_thread::sleep_for(20ms);  // into its sleep
  const long before = VoluntarySwitches(tid);
  std::this_thread::sleep_for(300ms);
  const long after = VoluntarySwitches(tid);
  ASSERT_TRUE(pty.WriteAll("x"));
  const auto [event, cpu] = idle.get();
  EXPECT_EQ(event, ev_RxChar) << "an empty queue was reported again";
  ASSERT_GE(before, 0);
  EXPECT_LE(after - before, 1) << "the idle wait woke " << after - before << " times";
  EXPECT_LT(cpu, 0.1);  // a spinning wait burns the whole 300 ms
}

// Writes until the line has stayed full for a while (the far side reads
// nothing), so that WaitWritable blocks.
void FillLine(TApdSerialDevice& dev) {
  std::vector<uint8_t> block(4096, 0x5A);
  for (int idle = 0; idle < 50;) {
    if (dev.Write(block.data(), static_cast<int>(block.size())) > 0) {
      idle = 0;
    } else {
      ++idle;
      std::this_thread::sleep_for(2ms);
    }
  }
}

// A WaitWritable(cancel) held back by a full line; invalid when the line
// never stayed full. The kernel moves bytes between the two sides of a
// pseudo-terminal in the background, so a full line can find room again a
// moment later on a loaded machine; then the line is filled once more.
std::future<int> HeldWriter(TApdSerialDevice& dev, int cancel = -1) {
  for (int attempt = 0; attempt < 10; ++attempt) {
    FillLine(dev);
    auto writable =
        std::async(std::launch::async, [&dev, cancel] { return dev.WaitWritable(cancel); });
    if (writable.wait_for(20ms) == std::future_status::timeout) return writable;
    EXPECT_EQ(writable.get(), kWaitReady);
  }
  return {};
}

TEST_F(PosixDeviceTest, CloseFromAnotherThreadEndsBothWaits) {
  std::future<int> writable = HeldWriter(dev);
  ASSERT_TRUE(writable.valid()) << "a full line never held the writer back";
  auto event = std::async(std::launch::async, [&] {
    uint32_t h = 0;
    return dev.WaitEvent(ev_RxChar | ev_Cts, h);
  });
  EXPECT_EQ(event.wait_for(50ms), std::future_status::timeout);
  dev.Close();
  EXPECT_EQ(event.get(), kDeviceClosed);
  EXPECT_EQ(writable.get(), kDeviceClosed);
  EXPECT_FALSE(dev.IsOpen());
  uint32_t h = 0;
  EXPECT_EQ(dev.WaitEvent(ev_RxChar, h), kDeviceClosed);
}

TEST_F(PosixDeviceTest, WaitWritableEndsOnTheCancelDescriptor) {
  TApdEventFd cancel;
  std::future<int> writable = HeldWriter(dev, cancel.get());
  ASSERT_TRUE(writable.valid()) << "a full line never held the writer back";
  cancel.Signal();
  EXPECT_EQ(writable.get(), kWaitCancelled);
  // Draining the line makes it writable again.
  cancel.Drain();
  pty.ReadSome(1 << 20, 100ms);
  EXPECT_EQ(dev.WaitWritable(cancel.get()), kWaitReady);
}

// A unit that reads a block at a time (as one writing each block to flash
// does) lets the writer go on after every block, not only once the whole
// queue has been read.
TEST_F(PosixDeviceTest, AWriterHeldByAFullLineGoesOnOnceTheOtherSideReadsABlock) {
  std::future<int> writable = HeldWriter(dev);
  ASSERT_TRUE(writable.valid()) << "a full line never held the writer back";
  uint8_t block[2000];
  ASSERT_EQ(::read(pty.master(), block, sizeof block), ssize_t(sizeof block));
  // A safety net, not a measurement: without the writer looking again it
  // waits until every queued byte has been read.
  const bool resumed = writable.wait_for(5s) == std::future_status::ready;
  if (!resumed) dev.Close();
  EXPECT_TRUE(resumed);
  EXPECT_EQ(writable.get(), resumed ? kWaitReady : kDeviceClosed);
}

TEST_F(PosixDeviceTest, VanishedOtherSideEndsTheWaitAsClosed) {
  // As when a USB adapter is pulled out: the tty hangs up.
  pty.DropHolder();
  auto event = std::async(std::launch::async, [&] {
    uint32_t h = 0;
    return dev.WaitEvent(ev_RxChar | ev_Cts, h);
  });
  EXPECT_EQ(event.wait_for(50ms), std::future_status::timeout);
  pty.CloseMaster();
  EXPECT_EQ(event.get(), kDeviceClosed);
  uint32_t h = 0;
  EXPECT_EQ(dev.WaitEvent(ev_RxChar, h), kDeviceClosed);
  EXPECT_EQ(dev.WaitWritable(-1), kDeviceClosed);
  dev.Close();
}

}  // namespace
}  // namespace kestrel
