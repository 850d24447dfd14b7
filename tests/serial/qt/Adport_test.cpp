// The port component's properties, open and close, the closed-port rules and
// the users list, on simulated cables and pseudo-terminals.

#include "serial/qt/Adport.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "PortTestSupport.h"
#include "PtyPair.h"
#include "serial/Awuser.h"
#include "serial/qt/AdPortContext.h"
#include "serial/qt/AdWaitWaker.h"
#include "serialdevice/AwPortPath.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using test::App;
using test::PumpUntil;

class ComPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    test::MapAllPortsMissing();
  }
  void TearDown() override { test::MapAllPortsMissing(); }

  // The main window's form values.
  static void ApplyFormValues(TApdComPort& port, uint16_t comNumber) {
    port.SetComNumber(comNumber);
    port.SetBaud(38400);
    port.SetAutoOpen(false);
    port.SetHWFlowOptions({hwfUseRTS, hwfRequireCTS});
    port.SetBufferFull(2000);
    port.SetBufferResume(409);
    port.SetTraceName("KELP.TRC");
    port.SetTraceHex(false);
    port.SetLogName("KELP.LOG");
    port.SetLogHex(false);
  }
};

// Thresholds set after the handshake stay as set, setting properties never
// opens the port, and the trace and log sizes have a ceiling.
TEST_F(ComPortTest, TheMainWindowsValuesStickAndRecorderSizesAreCapped) {
  TApdComPort port;
  ApplyFormValues(port, 1);
  EXPECT_EQ(port.BufferFull(), 2000);
  EXPECT_EQ(port.BufferResume(), 409);
  EXPECT_EQ(port.HWFlowOptions(), (THWFlowOptionSet{hwfUseRTS, hwfRequireCTS}));
  EXPECT_FALSE(port.Open());

  port.SetTraceSize(5000000);
  port.SetLogSize(20000000);
  EXPECT_EQ(port.TraceSize(), 4000000u);
  EXPECT_EQ(port.LogSize(), 16000000u);
}

TEST_F(ComPortTest, FlowThresholdsDefaultAndTruncate) {
  TApdComPort port;
  port.SetHWFlowOptions({hwfUseRTS, hwfRequireCTS});
  EXPECT_EQ(port.BufferFull(), 3686);
  EXPECT_EQ(port.BufferResume(), 409);

  port.SetBufferFull(10000);  // 9000 first, then the flow defaulting
  EXPECT_EQ(port.BufferFull(), 3686);
  port.SetBufferResume(5000);  // above BufferFull: a tenth of it, 368
  EXPECT_EQ(port.BufferResume(), 368);

  TApdComPort soft;
  soft.SetSWFlowOptions(swfBoth);
  EXPECT_EQ(soft.BufferFull(), 3072);
  EXPECT_EQ(soft.BufferResume(), 1024);

  // RS-485 takes RTS away from the handshake, and RTS/CTS handshaking ends RS-485.
  port.SetRS485Mode(true);
  EXPECT_TRUE(port.HWFlowOptions().Empty());
  EXPECT_FALSE(port.RTS());
  port.SetHWFlowOptions({hwfRequireCTS});
  EXPECT_FALSE(port.RS485Mode());
}

TEST_F(ComPortTest, OpenOnASimulatedCableAppliesTheProperties) {
  TApdComPort port;
  auto far = test::TSimPorts::Attach(port.PortMap(), 1);
  ApplyFormValues(port, 1);
  int opened = 0;
  port.SetOnPortOpen([&](TApdCustomComPort*) { ++opened; });
  port.SetOpen(true);
  ASSERT_TRUE(port.Open());
  EXPECT_EQ(port.PortState(), psOpen);
  EXPECT_EQ(opened, 1);
  EXPECT_TRUE(far->PortOpen());

  TDeviceSettings s = far->PortSettings();
  EXPECT_EQ(s.BaudRate, 38400u);
  EXPECT_EQ(s.ByteSize, 8);
  EXPECT_EQ(s.Flags & dcb_RtsMask, dcb_RtsHandshake);
  EXPECT_TRUE(s.Flags & dcb_OutxCtsFlow);
  EXPECT_TRUE(far->PortDtr());

  // Open := True on an open port does nothing.
  port.SetOpen(true);
  EXPECT_EQ(opened, 1);

  // A new baud reprograms the device; the same baud again touches nothing.
  port.SetBaud(9600);
  EXPECT_EQ(far->PortSettings().BaudRate, 9600u);
  const uint64_t changes = far->ChangeCount();
  port.SetBaud(9600);
  EXPECT_EQ(far->ChangeCount(), changes);

  int closed = 0;
  port.SetOnPortClose([&](TApdCustomComPort*) { ++closed; });
  port.SetOpen(false);
  EXPECT_EQ(closed, 1);
  EXPECT_FALSE(port.Open());
  EXPECT_EQ(port.PortState(), psClosed);
  EXPECT_FALSE(far->PortOpen());
  port.SetOpen(false);  // False on a closed port does nothing
  EXPECT_EQ(closed, 1);
}

TEST_F(ComPortTest, DtrAndRtsAreStoredOnlyWhenTheLineFollowed) {
  TApdComPort port;
  auto far = test::TSimPorts::Attach(port.PortMap(), 1);
  port.SetComNumber(1);
  port.SetHWFlowOptions({hwfUseDTR});
  port.SetOpen(true);

  port.SetDTR(false);  // under handshake control: nothing done, nothing stored
  EXPECT_TRUE(port.DTR());
  port.SetRTS(false);
  EXPECT_FALSE(port.RTS());
  EXPECT_FALSE(far->PortRts());
  port.SetRTS(true);
  EXPECT_TRUE(far->PortRts());
}

TEST_F(ComPortTest, FailedOpensRaiseAndLeaveTheComponentClosed) {
  struct Case {
    const char* what;
    std::function<void()> arrange;
    int code;
  };
  // The ports share what the held devices are made by.
  TApdPortContext ports(TApdWaitWaker::Instance());
  std::shared_ptr<TApdSimFarEnd> far;
  std::unique_ptr<TApdSerialDevice> holder;
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  const std::vector<Case> cases = {
      {"missing device", [] {}, ecBadId},
      {"simulated port held elsewhere",
       [&] {
         far = test::TSimPorts::Attach(ports.PortMap, 3);
         holder = far->MakePortDevice();
         ASSERT_EQ(holder->Open(), 0);
       },
       ecAlreadyOpen},
      {"pseudo-terminal held elsewhere",
       [&] {
         test::MapPath(3, pty.slavePath());
         holder = ports.PortMap.CreateSerialDevice(pty.slavePath());
         ASSERT_EQ(holder->Open(), 0);
       },
       ecAlreadyOpen},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.arrange();
    TApdComPort port(nullptr, &ports);
    port.SetComNumber(3);
    int opened = 0;
    port.SetOnPortOpen([&](TApdCustomComPort*) { ++opened; });
    try {
      port.SetOpen(true);
      ADD_FAILURE() << "no exception";
    } catch (const EOpenComm& e) {
      EXPECT_EQ(e.ErrorCode(), c.code);
    }
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(port.PortState(), psClosed);
    EXPECT_EQ(opened, 0);
    port.SetAutoOpen(false);
    EXPECT_EQ(port.GetDispatcher(), nullptr);
    if (holder) holder->Close();
    holder.reset();
  }

  TApdComPort winsock;
  winsock.SetComNumber(3);
  winsock.SetDeviceLayer(dlWinsock);
  EXPECT_THROW(winsock.SetOpen(true), ENullApi);
  EXPECT_FALSE(winsock.Open());
}

// Every operation on a closed port with AutoOpen off: raises ECommNotOpen or
// gives its neutral value, and never opens the port.
TEST_F(ComPortTest, ClosedPortOperations) {
  TApdComPort port;
  auto far = test::TSimPorts::Attach(port.PortMap(), 1);
  port.SetComNumber(1);
  port.SetAutoOpen(false);
  port.SetOutSize(1000);
  char buffer[8] = {};

  const std::vector<std::pair<const char*, std::function<void()>>> raising = {
      {"PutChar", [&] { port.PutChar('a'); }},
      {"PutString", [&] { port.PutString("ab"); }},
      {"PutBlock", [&] { port.PutBlock(buffer, 2); }},
      {"GetChar", [&] { port.GetChar(); }},
      {"PeekChar", [&] { port.PeekChar(1); }},
      {"GetBlock", [&] { port.GetBlock(buffer, 2); }},
      {"PeekBlock", [&] { port.PeekBlock(buffer, 2); }},
      {"CharReady", [&] { port.CharReady(); }},
      {"FlushInBuffer", [&] { port.FlushInBuffer(); }},
      {"FlushOutBuffer", [&] { port.FlushOutBuffer(); }},
      {"WaitForString", [&] { port.WaitForString("#", 2, true, false); }},
      {"AddDataTrigger", [&] { port.AddDataTrigger("OK", false); }},
      {"AddTimerTrigger", [&] { port.AddTimerTrigger(); }},
      {"AddStatusTrigger", [&] { port.AddStatusTrigger(stModem); }},
      {"SetTimerTrigger", [&] { port.SetTimerTrigger(8, 1, true); }},
      {"SetStatusTrigger", [&] { port.SetStatusTrigger(8, 0x10, true); }},
      {"SetBreak", [&] { port.SetBreak(true); }},
  };
  for (const auto& [name, call] : raising) {
    try {
      call();
      ADD_FAILURE() << name << " did not raise";
    } catch (const ECommNotOpen& e) {
      EXPECT_EQ(e.ErrorCode(), ecCommNotOpen) << name;
    }
  }

  EXPECT_FALSE(port.CTS());
  EXPECT_FALSE(port.DSR());
  EXPECT_FALSE(port.RI());
  EXPECT_FALSE(port.DCD());
  EXPECT_FALSE(port.DeltaCTS());
  EXPECT_FALSE(port.DeltaDSR());
  EXPECT_FALSE(port.DeltaRI());
  EXPECT_FALSE(port.DeltaDCD());
  EXPECT_EQ(port.ModemStatus(), 0);
  EXPECT_EQ(port.LineError(), 0);
  EXPECT_FALSE(port.LineBreak());
  EXPECT_EQ(port.FlowState(), fcOff);
  EXPECT_EQ(port.InBuffUsed(), 0);
  EXPECT_EQ(port.InBuffFree(), 8192);
  EXPECT_EQ(port.OutBuffUsed(), 0);
  EXPECT_EQ(port.OutBuffFree(), 1000);
  port.RemoveTrigger(8);
  port.RemoveAllTriggers();
  EXPECT_TRUE(port.WaitForString("", 2, true, false)) << "an empty string is found at once";

  EXPECT_FALSE(port.Open());
  EXPECT_FALSE(far->PortOpen()) << "nothing above may open the port";
}

TEST_F(ComPortTest, APulledOutAdapterIsReportedAndWritesRaiseUntilReopened) {
  TSimOptions options;
  options.unplugAfter = 10000;
  TApdComPort port;
  auto far = test::TSimPorts::Attach(port.PortMap(), 1, options);
  port.SetComNumber(1);
  port.SetAutoOpen(false);
  EXPECT_EQ(port.DevicePath(), "qtsim:1");
  port.SetOpen(true);
  std::thread unit([&] { far->ReadExactly(10000, 10s); });
  const std::vector<uint8_t> block(2000, 'u');
  int blocks = 0;
  std::string message;
  for (; blocks < 1000; ++blocks) {
    try {
      port.PutBlock(block.data(), static_cast<uint16_t>(block.size()));
    } catch (const EOutputBufferTooSmall&) {
      std::this_thread::sleep_for(1ms);
    } catch (const EDeviceLost& e) {
      message = e.what();
      break;
    }
  }
  unit.join();
  EXPECT_EQ(message, "Device lost");
  EXPECT_TRUE(port.DeviceLost());
  EXPECT_EQ(port.DevicePath(), "qtsim:1");
  port.SetOpen(false);
  EXPECT_FALSE(port.DeviceLost());
  port.SetOpen(true);  // plugged in again
  EXPECT_FALSE(port.DeviceLost());
  port.PutString("ok");
  const auto ok = far->ReadExactly(2, 5s);
  EXPECT_EQ(std::string(ok.begin(), ok.end()), "ok");
}

TEST_F(ComPortTest, AutoOpenOpensOnFirstUse) {
  TApdComPort port;
  auto far = test::TSimPorts::Attach(port.PortMap(), 1);
  port.SetComNumber(1);
  EXPECT_EQ(port.InBuffUsed(), 0) << "counts never open";
  EXPECT_FALSE(port.Open());
  port.PutString("hi");
  EXPECT_TRUE(port.Open());
  EXPECT_EQ(test::ToString(far->ReadExactly(2, 5s)), "hi");
}

TEST_F(ComPortTest, UsersAreToldLastRegisteredFirstThenTheEvents) {
  TApdComPort port;
  auto far = test::TSimPorts::Attach(port.PortMap(), 1);
  port.SetComNumber(1);
  std::vector<std::string> log;

  class Window : public QObject {
   public:
    Window(std::vector<std::string>& log, std::string name) : log_(log), name_(std::move(name)) {}
    bool event(QEvent* e) override {
      if (e->type() != TApdPortMessageEvent::EventType()) return QObject::event(e);
      char text[32];
      std::snprintf(text, sizeof text, "%s:%X", name_.c_str(),
                    static_cast<TApdPortMessageEvent*>(e)->Msg);
      log_.push_back(text);
      return true;
    }

   private:
    std::vector<std::string>& log_;
    std::string name_;
  };
  Window plain(log, "w"), extended(log, "wx");
  int owner1 = 0, owner2 = 0;
  port.RegisterUser(&plain);
  port.RegisterUserCallback(&owner1, [&](TApdCustomComPort*, bool opening) {
    log.push_back(opening ? "cb:open" : "cb:closed");
  });
  port.RegisterUserCallbackEx(&owner2, [&](TApdCustomComPort*, TApdCallbackType t) {
    log.push_back(t == ctOpen ? "cbx:open" : t == ctClosing ? "cbx:closing" : "cbx:closed");
  });
  port.RegisterUserEx(&extended);
  port.SetOnPortOpen([&](TApdCustomComPort*) { log.push_back("OnPortOpen"); });
  port.SetOnPortClose([&](TApdCustomComPort*) { log.push_back("OnPortClose"); });

  port.SetOpen(true);
  port.SetOpen(false);
  EXPECT_EQ(log, (std::vector<std::string>{"wx:7E08", "cbx:open", "cb:open", "w:7E08", "OnPortOpen",
                                           "wx:7E0A", "cbx:closing", "wx:7E09", "cbx:closed",
                                           "cb:closed", "w:7E09", "OnPortClose"}));

  log.clear();
  port.DeregisterUser(&plain);
  port.DeregisterUser(&extended);
  port.DeregisterUserCallback(&owner1);
  port.DeregisterUserCallbackEx(&owner2);
  port.SetOpen(true);
  port.SetOpen(false);
  EXPECT_EQ(log, (std::vector<std::string>{"OnPortOpen", "OnPortClose"}));
}

TEST_F(ComPortTest, ALoadingComponentStoresAndOpensWhenLoaded) {
  std::shared_ptr<TApdSimFarEnd> far;
  std::vector<std::string> shown;
  SetPortExceptionDisplay([&](const std::exception& e) { shown.push_back(e.what()); });
  {
    TApdComPort port;
    far = test::TSimPorts::Attach(port.PortMap(), 1);
    port.SetLoading(true);
    port.SetOpen(true);
    port.SetComNumber(1);
    port.SetAutoOpen(false);
    port.PutChar('x');  // nothing is raised while loading
    EXPECT_FALSE(far->PortOpen());
    port.Loaded();
    EXPECT_TRUE(port.Open());
    EXPECT_TRUE(far->PortOpen());
  }
  EXPECT_FALSE(far->PortOpen()) << "destruction closes the port";

  TApdComPort broken;
  broken.SetLoading(true);
  broken.SetComNumber(9);  // nothing there
  broken.SetOpen(true);
  broken.Loaded();  // shown, not raised
  EXPECT_FALSE(broken.Open());
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0], "ie_BadId - Specified comport doesn't exist");
  SetPortExceptionDisplay(nullptr);
}

}  // namespace
}  // namespace kestrel
