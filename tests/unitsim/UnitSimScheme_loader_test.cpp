// The loader's side of an upload, step by step as it drives its port (prompt
// checks, upload line, 2000-byte blocks each followed by the drain and CTS
// waits, final prompt check), through the real dispatcher against the unit
// behind "sim:".

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "TestPattern.h"
#include "UnitTestIo.h"
#include "serial/AwuserPosix.h"
#include "unitsim/UnitSimScheme.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;

// Sends `text` and waits (up to 65 ticks) for `prompt`, flushing before and
// after as the loader does.
bool PromptExchange(TApdPosixDispatcher& port, const std::string& text, char prompt) {
  port.FlushInBuffer();
  port.PutString(text);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(3575);
  bool found = false;
  while (!found && std::chrono::steady_clock::now() < deadline) {
    int c = port.GetChar();
    if (c >= 0) {
      found = c == static_cast<uint8_t>(prompt);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  port.FlushInBuffer();
  port.FlushOutBuffer();
  return found;
}

// One block: queue it, wait at most 900 rounds for the output to drain and
// at most 900 more for CTS.
bool SendBlock(TApdPosixDispatcher& port, const std::string& block) {
  if (port.OutBuffFree() < static_cast<int>(block.size())) return false;
  if (port.PutBlock(block.data(), static_cast<int>(block.size())) != 0) return false;
  int rounds = 0;
  while (port.OutBuffUsed() != 0) {
    if (++rounds > 900) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  for (rounds = 0; rounds < 900; ++rounds) {
    if (port.CheckCTS()) {
      port.FlushOutBuffer();
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

void RunUpload(const std::string& options) {
  TScratch dir;
  const fs::path flash = dir.Path() / "flash";
  TPortMap devices;
  RegisterSimulatedUnitScheme(devices);
  TApdPosixDispatcher port(nullptr, &devices);
  ASSERT_EQ(port.InitPort("sim:flash-ms=30;dir=" + flash.string() + options, 115200, NOPARITY, 8, 1,
                          4096, 4096, ipAssertDTR | ipAutoRTS),
            0);
  ASSERT_EQ(port.HWFlowOptions(3000, 400, hfUseRTS | hfRequireCTS), 0);

  ASSERT_TRUE(PromptExchange(port, "\r", '#'));
  ASSERT_TRUE(PromptExchange(port, "LOADR\r", '>'));
  ASSERT_TRUE(PromptExchange(port, "\r", '>'));

  const std::string data = test::Pattern(4500, 3);
  port.PutString(UploadLineFor("8000", data));
  // The loader pauses 500 ms here; the line must have left by then.
  for (int rounds = 0; port.OutBuffUsed() != 0 && rounds < 10000; ++rounds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  port.FlushInBuffer();
  port.FlushOutBuffer();
  int blocks = 0;
  for (size_t at = 0; at < data.size(); at += 2000) {
    ASSERT_TRUE(SendBlock(port, data.substr(at, 2000))) << "block " << blocks;
    ++blocks;
  }
  EXPECT_EQ(blocks, 3);
  EXPECT_TRUE(PromptExchange(port, "\r", '>'));
  port.DonePort();

  EXPECT_EQ(ReadFile(flash / "8000.bin"), data);
  EXPECT_NE(ReadFile(flash / "uploads.jsonl").find("\"result\":\"ok\""), std::string::npos);
}

TEST(UnitSimLoader, AFullUploadSucceedsAndLandsByteForByte) {
  RunUpload("");
}

// With every byte taking its wire time, a block is still in the transmitter
// when the output ring is empty; the drain waits for it, so the flush that
// follows each block has nothing left to throw away.
TEST(UnitSimLoader, PacedUploadSurvivesThePerBlockFlush) {
  RunUpload(";pace");
}

}  // namespace
}  // namespace kestrel
