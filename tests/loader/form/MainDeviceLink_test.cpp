// The main window's link with the unit on the offscreen platform: the port's
// laid-out values, probing, the query capture and the watchdog, against the
// simulated unit and a pseudo-terminal standing in for it.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <QCheckBox>
#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <cerrno>
#include <functional>
#include <memory>
#include <string>

#include "LoaderTestApp.h"
#include "PtyPair.h"
#include "RecordingOperatorDialog.h"
#include "VirtualClock.h"
#include "WaitUntil.h"
#include "loader/form/MainUnit.h"
#include "loader/windows/Progress.h"
#include "serialdevice/AwPosixBaud.h"
#include "terminal/qt/AdTerminal.h"
#include "unitsim/UnitSimScheme.h"

namespace kestrel {
namespace {

class DeviceLink : public ::testing::Test {
 protected:
  void SetUp() override {
    test_application();
    Form = std::make_unique<TKestrelForm>(Dialog);
    RegisterSimulatedUnitScheme(Form->ApdComPort1->PortMap());
    Form->SetCompanions(&Progress, nullptr);
    Clock = use_virtual_clock(*Form);
  }
  void TearDown() override {
    Form.reset();
    ::setenv("KESTREL_COM1", "/nonexistent/kestrel-test-com1", 1);
  }
  static void map_com1(const std::string& path) { ::setenv("KESTREL_COM1", path.c_str(), 1); }
  std::string status() const { return Form->InfoStatusBar->SimpleText().toStdString(); }

  TRecordingOperatorDialog Dialog;
  TProgressForm Progress;
  std::unique_ptr<TVirtualTimeClock> Clock;
  std::unique_ptr<TKestrelForm> Form;
};

TEST_F(DeviceLink, ThePortCarriesItsLaidOutValues) {
  TApdComPort& port = *Form->ApdComPort1;
  EXPECT_EQ(port.ComNumber(), 1);
  EXPECT_EQ(port.Baud(), 38400);
  EXPECT_FALSE(port.AutoOpen());
  EXPECT_FALSE(port.Open());
  EXPECT_TRUE(port.HWFlowOptions() == THWFlowOptionSet({hwfUseRTS, hwfRequireCTS}));
  EXPECT_EQ(port.BufferFull(), 2000);
  EXPECT_EQ(port.BufferResume(), 409);
  EXPECT_EQ(port.TraceName(), "KELP.TRC");
  EXPECT_EQ(port.LogName(), "KELP.LOG");
  EXPECT_FALSE(port.TraceHex());
  EXPECT_FALSE(port.LogHex());
}

TEST_F(DeviceLink, AProbeFindsTheUnitByEitherPrompt) {
  struct Case {
    const char* unit;
    char prompt;
  };
  // The second unit answers only with the loader prompt, so the first
  // exchange times out.
  for (const Case& c : {Case{"sim:", '#'}, Case{"sim:prompt=>", '>'}}) {
    SCOPED_TRACE(c.unit);
    map_com1(c.unit);
    Form->ApdComPort1->SetComNumber(2);
    EXPECT_TRUE(Form->check_com(1));
    EXPECT_TRUE(Form->ApdComPort1->Open());
    EXPECT_EQ(Form->Link.LastPrompt, c.prompt);
    EXPECT_EQ(status(), "Established communication on COM 1");
    EXPECT_EQ(Form->ComNumberLabel->text().toStdString(), "1");
    EXPECT_EQ(Form->ComBaudLabel->text().toStdString(), "38400");
    EXPECT_EQ(Form->Link.LastGoodComPort, 1);
    EXPECT_TRUE(Dialog.Messages.empty());
    Form->NoneMenuClick();
    EXPECT_EQ(status(), "Note: Last successful COM port used is: 1");
  }
}

// A driver that runs nothing above 115200 baud and says so.
uint32_t refusingDriverRate = 38400;
int RefuseFastRates(int, uint32_t baud) {
  if (baud > 115200) return EINVAL;
  refusingDriverRate = baud;
  return 0;
}
int ReadRefusingDriverRate(int, uint32_t& baud) {
  baud = refusingDriverRate;
  return 0;
}

TEST_F(DeviceLink, ARateTheDriverRefusesIsNamedBeforeAnythingIsSent) {
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  map_com1(pty.slavePath());
  const posix_kernel::TBaudCalls refusing = {RefuseFastRates, ReadRefusingDriverRate};
  posix_kernel::SetBaudCalls(&refusing);
  Form->ApdComPort1->SetBaud(3000000);
  const bool found = Form->check_com(1);
  posix_kernel::SetBaudCalls(nullptr);

  EXPECT_FALSE(found);
  EXPECT_FALSE(Form->ApdComPort1->Open());
  EXPECT_EQ(Dialog.Messages, std::vector<std::string>{"Error! " + pty.slavePath() +
                                                      " (COM 1) refuses 3000000 baud"});
  char byte = 0;
  EXPECT_EQ(::read(pty.master(), &byte, 1), -1) << "the probe was sent";
  EXPECT_EQ(errno, EAGAIN);
}

// The terminal pane reads every byte on the dispatcher's thread; a unit that
// answers at once must still leave its prompt to the wait.
TEST_F(DeviceLink, QuickAnswersReachThePromptWaitWhileThePaneReads) {
  map_com1("sim:");
  ASSERT_TRUE(Form->check_com(1));
  int answered = 0;
  for (int i = 0; i < 300; ++i) answered += Form->SendCOMCmd_GetPrompt("\r", '#') ? 1 : 0;
  EXPECT_EQ(answered, 300);
}

TEST_F(DeviceLink, StartUpProbingOpensThePortWhereTheUnitAnswers) {
  const std::string settings = "Port=COM1\n";
  TScratchFolder folder(&settings);
  map_com1("sim:");
  Form->FormShow();
  EXPECT_TRUE(Form->ApdComPort1->Open());
  EXPECT_EQ(Form->ApdComPort1->ComNumber(), 1);
  EXPECT_EQ(status(), "Established communication on COM 1");
  EXPECT_FALSE(Form->ComCheckBox->isEnabled());
  EXPECT_TRUE(Form->PickButton->isEnabled());

  // Probing the port already in use from the menu finds the unit again.
  Form->COM1MenuClick();
  EXPECT_EQ(status(), "Established communication on COM 1");
  EXPECT_TRUE(Form->ApdComPort1->Open());
  EXPECT_TRUE(Dialog.Messages.empty());
}

TEST_F(DeviceLink, AQueryCapturesTheAnswerLineWithoutItsPrompt) {
  map_com1("sim:query=VER:KESTREL UNIT V1.04 build 7");
  ASSERT_TRUE(Form->check_com(1));
  Form->query_unit("VER");
  EXPECT_FALSE(Form->Link.AwaitingResponse);
  EXPECT_FALSE(Form->Link.WatchdogExpired);
  EXPECT_FALSE(Form->CommandTimer->isActive());
  const std::string line = Form->captured_text();
  EXPECT_NE(line.find("KESTREL UNIT V1.04 build 7"), std::string::npos) << line;
  EXPECT_EQ(line.find('#'), std::string::npos) << line;
  EXPECT_TRUE(Dialog.Messages.empty());
}

TEST_F(DeviceLink, AQueryTheUnitNeverAnswersEndsByTheWatchdogOrTheCloseQuery) {
  map_com1("sim:silent");
  Form->ApdComPort1->SetOpen(true);
  const int64_t began = Clock->now();
  Form->query_unit("VER");
  EXPECT_GE(Clock->now() - began, 3900);
  EXPECT_TRUE(Form->Link.WatchdogExpired);
  EXPECT_TRUE(Form->run_cancelled());
  // The silence is the cause, on a line after the message.
  EXPECT_EQ(Dialog.Messages, std::vector<std::string>{"Timeout error! RS232 connection failure! "
                                                      "Please check RS232 connection. Exiting "
                                                      "script.\nThe unit said nothing."});
  // The capture stays armed after the watchdog.
  EXPECT_TRUE(Form->Link.AwaitingResponse);

  // Closing the idle window ends the next query early, without a question;
  // the close comes on the real clock.
  Form->SetClock(nullptr);
  Dialog.Messages.clear();
  bool canClose = false;
  QTimer::singleShot(500, Form.get(), [&] {
    canClose = true;
    Form->FormCloseQuery(canClose);
  });
  Form->query_unit("VER");
  EXPECT_TRUE(canClose);
  EXPECT_FALSE(Form->Link.AwaitingResponse);
  EXPECT_FALSE(Form->Link.WatchdogExpired);
  EXPECT_TRUE(Dialog.Confirmations.empty());
  EXPECT_TRUE(Dialog.Messages.empty());
}

// The capture handler fed from a pseudo-terminal with deliveries of a known
// size: the window's own delivery is switched off and the test hands the
// waiting bytes to the handler in one call, while the window's query waits
// for its answer (in real time: the deliveries are the only thing moving).
class CaptureRules : public DeviceLink {
 protected:
  void SetUp() override {
    DeviceLink::SetUp();
    ASSERT_TRUE(Pty.ok());
    ::setenv("KESTREL_COM3", Pty.slavePath().c_str(), 1);
    Form->SetClock(nullptr);
    Form->ApdComPort1->SetOnTriggerAvail(nullptr);
    // Nor does the terminal pane take the unit's bytes.
    auto* terminal = dynamic_cast<TAdTerminal*>(Form->AdTerminal1->Widget());
    ASSERT_NE(terminal, nullptr);
    terminal->SetComPort(nullptr);
    Form->ApdComPort1->SetComNumber(3);
    Form->ApdComPort1->SetOpen(true);
  }
  void TearDown() override {
    DeviceLink::TearDown();
    ::setenv("KESTREL_COM3", "/nonexistent/kestrel-test-com3", 1);
  }
  // The unit sends `bytes`; they are handed over in one delivery.
  void deliver(const std::string& bytes) {
    const int before = Form->ApdComPort1->InBuffUsed();
    ASSERT_TRUE(Pty.WriteAll(bytes));
    const int total = before + int(bytes.size());
    ASSERT_TRUE(test::WaitUntil([&] { return Form->ApdComPort1->InBuffUsed() == total; }));
    Form->ApdComPort1TriggerAvail(Form->ApdComPort1, uint16_t(total));
  }
  // Queries the unit as the window does (a line ends after ten bytes) and,
  // once the answer is awaited, hands it `deliveries` one by one; `after`
  // looks at the capture after each.
  void query(const std::vector<std::string>& deliveries,
             const std::function<void(size_t)>& after = {}) {
    size_t next = 0;
    bool feeding = false;
    QTimer feed;
    feed.setInterval(1);
    QObject::connect(&feed, &QTimer::timeout, [&] {
      if (feeding || !Form->Link.AwaitingResponse || next == deliveries.size()) return;
      feeding = true;
      deliver(deliveries[next]);
      if (after) after(next);
      ++next;
      feeding = false;
    });
    feed.start();
    Form->query_unit("VER", 10);
    EXPECT_EQ(next, deliveries.size()) << "the query ended before every delivery";
  }

  test::PtyPair Pty;
};

TEST_F(CaptureRules, APromptEndsTheLineOnlyAfterTenBytes) {
  struct Case {
    std::vector<std::string> deliveries;
    std::string line;
  };
  const Case cases[] = {
      {{"V1.04 build 7\r\n>"}, "V1.04 build 7\r\n"},
      {{"V1.04 build 7\r\n", ">"}, "V1.04 build 7\r\n"},
      {{"V1.04 bu", "ild 7\r\n>tail"}, "V1.04 build 7\r\n"},
      {{"ab>cd#efghijkl#"}, "ab>cd#efghijkl"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    query(c.deliveries);
    EXPECT_FALSE(Form->Link.AwaitingResponse);
    EXPECT_FALSE(Form->Link.WatchdogExpired);
    EXPECT_EQ(Form->captured_text(), c.line);
    EXPECT_EQ(Form->Link.Capture.Fill, 0);
    EXPECT_EQ(Form->ApdComPort1->InBuffUsed(), 0) << "what follows the prompt is dropped";
  }
  // With no query waiting nothing is taken.
  deliver("V1.04 build 7\r\n>");
  EXPECT_EQ(Form->ApdComPort1->InBuffUsed(), 16);
}

TEST_F(CaptureRules, LongInputRestartsTheLineAndNeverRunsPastIt) {
  // 990 bytes, then a delivery that no longer fits: the line starts again.
  // Then one delivery far larger than the line, ended by a prompt.
  query({std::string(990, 'a'), "0123456789ABCDEF", std::string(2500, 'x').append("END\r\n>")},
        [&](size_t delivered) {
          if (delivered == 0) EXPECT_EQ(Form->Link.Capture.Fill, 990);
          if (delivered == 1) EXPECT_EQ(Form->captured_text(), "0123456789ABCDEF");
        });
  EXPECT_FALSE(Form->Link.AwaitingResponse);
  EXPECT_FALSE(Form->Link.WatchdogExpired);
  EXPECT_EQ(Form->Link.MinLineLength, 10) << "nothing behind the line was overwritten";
  const std::string line = Form->captured_text();
  EXPECT_LT(line.size(), size_t(TKestrelForm::kCaptureLineSize));
  EXPECT_GE(line.size(), 10u);
  EXPECT_EQ(line.substr(line.size() - 5), "END\r\n");
  EXPECT_EQ(line.find_first_not_of('x'), line.size() - 5);
  EXPECT_EQ(Form->ApdComPort1->InBuffUsed(), 0);
}

}  // namespace
}  // namespace kestrel
