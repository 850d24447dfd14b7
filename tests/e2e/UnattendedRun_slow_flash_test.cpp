// Units that take their time to write each 2000-byte block to flash, well
// within what RTS/CTS handshaking is for: on the paced in-process cable
// (flooding the line with chatter at the higher speed, so that the unit's
// talk cannot shorten the loader's waits) and on a pseudo-terminal, whose
// kernel buffer takes several blocks at once before the unit reads them
// block by block. Every upload succeeds and the unit stores the image byte
// for byte. All runs go at once: the test lasts as long as the slowest.

#include <gtest/gtest.h>

#include "E2eSupport.h"

namespace kestrel::e2e {
namespace {

constexpr const char* kScript = "_TC \"LOADR^M\"\n_LP 1\n_LF a.bin\n_LA 8000\n_LV 1\n_LD\n";

struct TSlowUnit {
  bool onPty;
  int baud;
  int flashMs;
  std::string name = {};
  std::unique_ptr<TScratch> toolFolder = {};
  std::unique_ptr<TChild> tool = {};
  std::unique_ptr<TBatchRun> run = {};
  std::string data = {};

  std::string Stored() const {
    return onPty ? ReadFile(*toolFolder / "flash" / "8000.bin") : run->Image("8000");
  }
};

TEST(SlowFlash, EveryUploadSucceedsWithTheImageWhole) {
  std::vector<TSlowUnit> units;
  unsigned seed = 40;
  for (const bool onPty : {false, true}) {
    for (const int baud : {38400, 115200}) {
      for (const int flashMs : {200, 500, 1000}) {
        TSlowUnit unit{onPty, baud, flashMs};
        unit.name = std::string(onPty ? "pty" : "sim") + " " + std::to_string(baud) + " baud, " +
                    std::to_string(flashMs) + " ms a block";
        std::string com1;
        if (onPty) {
          unit.toolFolder = std::make_unique<TScratch>();
          unit.tool = std::make_unique<TChild>(
              BinPath("kestrel-unit-sim"),
              // Twelve runs share the machine: the unit's own patience must
              // not be what a loaded machine tests.
              std::vector<std::string>{"--dir=flash", "--flash-ms=" + std::to_string(flashMs),
                                       "--data-timeout-ms=20000"},
              unit.toolFolder->Path(), std::map<std::string, std::string>{},
              *unit.toolFolder / "unit.txt", true);
          com1 = unit.tool->StdoutLine();
          ASSERT_EQ(com1.rfind("/dev/pts/", 0), 0u) << com1;
        } else {
          std::string options = "pace;data-timeout-ms=20000;flash-ms=" + std::to_string(flashMs);
          if (baud == 115200) options += ";flood;baud=115200";
          com1 = TBatchRun::Sim(options);
        }
        unit.run = std::make_unique<TBatchRun>(kScript, com1);
        WriteFile(unit.run->Folder / "LoaderDefault.ini",
                  SettingsText({{2, std::to_string(baud)}}));
        // More than the pseudo-terminal's buffer holds; on the cable a few
        // blocks show it, each one waiting out a flash write.
        unit.data = Pattern(onPty ? 24500 : 6500, ++seed);
        WriteFile(unit.run->Folder / "a.bin", unit.data);
        units.push_back(std::move(unit));
      }
    }
  }
  for (TSlowUnit& unit : units) unit.run->Start();
  for (TSlowUnit& unit : units) {
    SCOPED_TRACE(unit.name);
    EXPECT_EQ(unit.run->Finish(), 0) << unit.run->Err();
    EXPECT_TRUE(unit.Stored() == unit.data) << "stored " << unit.Stored().size() << " bytes";
  }
}

}  // namespace
}  // namespace kestrel::e2e
