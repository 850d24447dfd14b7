// The upload chain: a section announces exactly the file it summed, once.

#include "loader/core/FileChain.h"

#include <gtest/gtest.h>

#include "E2eSupport.h"

namespace kestrel {
namespace {

TEST(FileChain, AnnouncesTheSummedFileOnceAndNeverAChangedOne) {
  e2e::TScratch dir;
  e2e::WriteFile(dir / "abc.bin", "abc");
  TFileChain chain;
  EXPECT_EQ(chain.NameFile((dir / "run.sld").string(), "_LF abc.bin").Result, TChainResult::Done);
  EXPECT_EQ(chain.SetAddress("_LA 8000").Result, TChainResult::Done);
  EXPECT_EQ(chain.SetVersion("_LV 1.0a").Result, TChainResult::Done);
  EXPECT_EQ(chain.Announce("LF").Result, TChainResult::Done);
  EXPECT_EQ(chain.UploadLine("LF", 403), "LF 8000 3 126 1.0A\r");
  // The section is used up: a second _LD has nothing to announce.
  EXPECT_EQ(chain.Announce("LF").Result, TChainResult::NotReady);

  std::string why;
  EXPECT_NE(chain.HoldFile(&why), nullptr);
  // The line told the unit 3 bytes: a file that has grown since is refused.
  e2e::WriteFile(dir / "abc.bin", "abcd");
  EXPECT_EQ(chain.HoldFile(&why), nullptr);
  EXPECT_EQ(why, "it is 4 bytes now, 3 when its checksum was taken");
}

}  // namespace
}  // namespace kestrel
