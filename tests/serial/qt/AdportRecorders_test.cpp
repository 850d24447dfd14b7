// The port component's Tracing and Logging properties: switched on before
// the open, paused, cleared and appended, and written when the port closes.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "PortTestSupport.h"
#include "ScratchFolder.h"
#include "serial/qt/Adport.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::PumpUntil;

class ComPortRecorders : public test::TSimPortTest {
 protected:
  void SetUp() override {
    test::TSimPortTest::SetUp();
    port.SetTraceName((dir / "KELP.TRC").string());
    port.SetLogName((dir / "KELP.LOG").string());
  }
  void TearDown() override {
    SetPortExceptionDisplay(nullptr);
    test::TSimPortTest::TearDown();
  }
  static std::string read(const fs::path& file) { return test::ReadFile(file); }
  void Exchange(const std::string& out, const std::string& in) {
    port.PutString(out);
    ASSERT_EQ(test::ToString(far->ReadExactly(out.size(), 5s)), out);
    ASSERT_EQ(far->SendFor(in, 5s), static_cast<int>(in.size()));
    ASSERT_TRUE(PumpUntil([&] { return port.InBuffUsed() == in.size(); }));
    std::string got(in.size(), '\0');
    port.GetBlock(got.data(), static_cast<uint16_t>(got.size()));
    ASSERT_EQ(got, in);
  }

  test::TScratch dir;
};

TEST_F(ComPortRecorders, SwitchedOnBeforeTheOpenTheyAreWrittenAtTheClose) {
  port.SetTracing(tlOn);
  port.SetLogging(tlDump);  // closed: anything but on is stored as off
  EXPECT_EQ(port.Logging(), tlOff);
  port.SetLogging(tlOn);
  port.SetOpen(true);
  EXPECT_EQ(port.Tracing(), tlOn);
  Exchange("abc", "de");
  port.AddStringToLog("checkpoint");
  port.SetOpen(false);

  EXPECT_EQ(port.Tracing(), tlOff);
  EXPECT_EQ(port.Logging(), tlOff);
  EXPECT_EQ(read(dir / "KELP.TRC"), "Transmit: \nabc\n\nReceive: \nde");
  const std::string log = read(dir / "KELP.LOG");
  EXPECT_NE(log.find("\nDevice: COM1\n"), std::string::npos) << log;
  EXPECT_NE(log.find("  Dispatch  WriteCom      00000003  abc\n"), std::string::npos) << log;
  EXPECT_NE(log.find("  User                    00000000  checkpoint\n"), std::string::npos);
  EXPECT_NE(log.find("  TrDatChg  Avail         00000001  \n"), std::string::npos) << log;

  // Nothing switched on: nothing written at the next close.
  fs::remove(dir / "KELP.TRC");
  fs::remove(dir / "KELP.LOG");
  port.SetOpen(true);
  Exchange("x", "y");
  port.SetOpen(false);
  EXPECT_FALSE(fs::exists(dir / "KELP.TRC"));
  EXPECT_FALSE(fs::exists(dir / "KELP.LOG"));
}

TEST_F(ComPortRecorders, PauseClearAndAppendFollowTheStateMachine) {
  port.SetOpen(true);
  port.SetTracing(tlOn);
  Exchange("a", "b");
  port.SetTracing(tlPause);
  EXPECT_EQ(port.Tracing(), tlPause);
  Exchange("paused", "quiet");
  port.SetTracing(tlOn);
  Exchange("c", "d");
  port.SetTracing(tlDump);
  EXPECT_EQ(port.Tracing(), tlOff);
  EXPECT_EQ(read(dir / "KELP.TRC"),
            "Transmit: \na\n\nReceive: \nb\n\nTransmit: \nc\n\nReceive: \nd");

  port.SetTracing(tlOn);
  Exchange("gone", "too");
  port.SetTracing(tlClear);
  EXPECT_EQ(port.Tracing(), tlOn);
  Exchange("e", "f");
  port.SetTracing(tlAppend);
  EXPECT_EQ(
      read(dir / "KELP.TRC"),
      "Transmit: \na\n\nReceive: \nb\n\nTransmit: \nc\n\nReceive: \nd\nTransmit: \ne\n\nReceive: "
      "\nf");

  // Switched off: the trace is dropped and the close writes nothing.
  fs::remove(dir / "KELP.TRC");
  port.SetTracing(tlOn);
  Exchange("g", "h");
  port.SetTracing(tlOff);
  port.SetOpen(false);
  EXPECT_FALSE(fs::exists(dir / "KELP.TRC"));
}

TEST_F(ComPortRecorders, AFileThatCannotBeWrittenIsReportedAndTheCloseGoesOn) {
  std::vector<std::string> shown;
  SetPortExceptionDisplay([&](const std::exception& e) { shown.push_back(e.what()); });
  port.SetTraceName((dir / "missing" / "KELP.TRC").string());
  port.SetTracing(tlOn);
  port.SetLogging(tlOn);
  port.SetOpen(true);
  Exchange("abc", "de");
  port.SetOpen(false);
  EXPECT_FALSE(port.Open());
  EXPECT_EQ(port.Tracing(), tlOff);
  EXPECT_EQ(shown.size(), 1u);
  // The log, behind the failed trace, was still written.
  EXPECT_TRUE(fs::exists(dir / "KELP.LOG"));
  // And the port opens again.
  port.SetOpen(true);
  EXPECT_TRUE(port.Open());
}

}  // namespace
}  // namespace kestrel
