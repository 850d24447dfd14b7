#include "messages/Adsrmgr.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace kestrel {
namespace {

constexpr TAdModule kTestModule = 0x7e57;

uint32_t Get32(std::span<const uint8_t> b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

void Put32(std::vector<uint8_t>& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A block in the stored layout from (identifier, text) pairs given in order.
std::vector<uint8_t> MakeBlock(const std::vector<std::pair<uint32_t, std::u16string>>& entries,
                               const char* signature = "STR0") {
  std::vector<uint8_t> b(signature, signature + 4);
  Put32(b, static_cast<uint32_t>(entries.size()));
  uint32_t textAt = static_cast<uint32_t>(8 + 12 * entries.size());
  for (const auto& [id, text] : entries) {
    Put32(b, id);
    Put32(b, textAt);
    Put32(b, static_cast<uint32_t>(text.size()));
    textAt += static_cast<uint32_t>(2 * text.size());
  }
  for (const auto& entry : entries)
    for (const char16_t c : entry.second) {
      b.push_back(static_cast<uint8_t>(c));
      b.push_back(static_cast<uint8_t>(c >> 8));
    }
  return b;
}

// Registers a block under the test module for the life of the object.
struct Registered {
  Registered(std::string name, std::vector<uint8_t> bytes)
      : Name(std::move(name)), Bytes(std::move(bytes)) {
    RegisterRawResource(kTestModule, Name, {Bytes.data(), Bytes.size()});
  }
  ~Registered() { UnregisterRawResource(kTestModule, Name); }
  std::string Name;
  std::vector<uint8_t> Bytes;
};

std::string OpenError(TAdModule module, const std::string& name) {
  try {
    TAdStringResource manager(module, name);
  } catch (const EStringResourceError& e) {
    return e.Message();
  }
  return "(opened)";
}

TEST(StringBlock, ProgramBlockKeepsItsStoredLayout) {
  const auto block = ProgramStringBlock();
  ASSERT_EQ(block.size(), 324u);
  EXPECT_EQ(std::memcmp(block.data(), "STR0", 4), 0);
  ASSERT_EQ(Get32(block, 4), 5u);
  // Sorted identifiers 1..5; texts follow the index back to back up to the end.
  uint32_t expectedOffset = 8 + 12 * 5;
  for (uint32_t i = 0; i < 5; ++i) {
    EXPECT_EQ(Get32(block, 8 + 12 * i), i + 1);
    EXPECT_EQ(Get32(block, 8 + 12 * i + 4), expectedOffset);
    expectedOffset += 2 * Get32(block, 8 + 12 * i + 8);
  }
  EXPECT_EQ(expectedOffset, 324u);
}

TEST(StringBlock, ProgramBlockTexts) {
  const TAdStringResource manager(MainModule, AdsrmgrResourceName);
  EXPECT_EQ(manager.GetString(srStringNotFound), "String not found: %d");
  EXPECT_EQ(manager.GetString(srCannotLock), "Cannot lock resource");
  EXPECT_EQ(manager.GetString(srResourceNotFound), "String resource not found: %s");
  EXPECT_EQ(manager.GetString(srCannotOpen), "Unable to open string resource: %s");
  EXPECT_EQ(manager.GetString(srBadSignature), "Not a string resource: %s");
  EXPECT_EQ(manager.GetString(0), "");
  EXPECT_EQ(manager.GetString(99), "");
}

TEST(StringBlock, GetAsciiZShortensAndTerminates) {
  const TAdStringResource manager(MainModule, "adsrmgr_strings");  // names ignore case
  char buffer[64];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(manager.GetAsciiZ(srCannotLock, buffer, 7), buffer);
  EXPECT_STREQ(buffer, "Cannot");
  EXPECT_EQ(buffer[7], 'x');  // nothing written past size

  manager.GetAsciiZ(srCannotLock, buffer, 1);
  EXPECT_STREQ(buffer, "");
  manager.GetAsciiZ(srCannotLock, buffer, sizeof buffer);
  EXPECT_STREQ(buffer, "Cannot lock resource");

  std::memset(buffer, 'x', sizeof buffer);
  manager.GetAsciiZ(99, buffer, sizeof buffer);
  EXPECT_STREQ(buffer, "");
}

TEST(StringBlock, ShorteningNeverCutsACharacterInHalf) {
  // U+00E9 takes two bytes in 8-bit text: a 4-byte buffer holds "ab" only.
  Registered block("ACCENTS", MakeBlock({{1, u"ab\u00e9"}}));
  const TAdStringResource manager(kTestModule, "ACCENTS");
  char buffer[8];
  manager.GetAsciiZ(1, buffer, 4);
  EXPECT_STREQ(buffer, "ab");
  manager.GetAsciiZ(1, buffer, 5);
  EXPECT_STREQ(buffer, "ab\xc3\xa9");
}

TEST(StringBlock, GetWideCharCopiesAtMostSizeMinusOne) {
  const TAdStringResource manager(MainModule, AdsrmgrResourceName);
  char16_t buffer[8];
  manager.GetWideChar(srCannotLock, buffer, 5);
  EXPECT_EQ(std::u16string(buffer), u"Cann");
  manager.GetWideChar(99, buffer, 5);
  EXPECT_EQ(std::u16string(buffer), u"");
}

TEST(StringBlock, BinarySearchFindsEveryEntryOfLargerBlocks) {
  for (uint32_t count : {1u, 2u, 3u, 8u, 33u}) {
    std::vector<std::pair<uint32_t, std::u16string>> entries;
    for (uint32_t i = 0; i < count; ++i) {
      const std::string text = "text " + std::to_string(10 * i + 5);
      entries.push_back({10 * i + 5, std::u16string(text.begin(), text.end())});
    }
    Registered block("MANY", MakeBlock(entries));
    const TAdStringResource manager(kTestModule, "MANY");
    for (uint32_t i = 0; i < count; ++i) {
      EXPECT_EQ(manager.GetString(10 * i + 5), "text " + std::to_string(10 * i + 5));
      EXPECT_EQ(manager.GetString(10 * i + 6), "");
    }
    EXPECT_EQ(manager.GetString(0), "");
  }
}

TEST(StringBlock, OpenFailuresRaiseTheManagersOwnTexts) {
  EXPECT_EQ(OpenError(kTestModule, "NO_SUCH_BLOCK"), "String resource not found: NO_SUCH_BLOCK");

  Registered bad("BADSIG", MakeBlock({{1, u"x"}}, "STR1"));
  EXPECT_EQ(OpenError(kTestModule, "BADSIG"), "Not a string resource: BADSIG");

  Registered tiny("TINY", {'S', 'T', 'R'});
  EXPECT_EQ(OpenError(kTestModule, "TINY"), "Not a string resource: TINY");

  // An index running past the end of the block is not a valid block either.
  std::vector<uint8_t> truncated = MakeBlock({{1, u"x"}});
  truncated[4] = 200;
  Registered cut("CUT", truncated);
  EXPECT_EQ(OpenError(kTestModule, "CUT"), "Not a string resource: CUT");

  RegisterRawResource(kTestModule, "UNLOADABLE", {nullptr, 0});
  EXPECT_EQ(OpenError(kTestModule, "UNLOADABLE"), "Unable to open string resource: UNLOADABLE");
  UnregisterRawResource(kTestModule, "UNLOADABLE");
}

TEST(StringBlock, EntryPointingOutsideTheBlockGivesNothing) {
  std::vector<uint8_t> bytes = MakeBlock({{1, u"abc"}, {2, u"def"}});
  bytes[8 + 12 + 8] = 100;  // identifier 2 claims 100 characters
  Registered block("LIAR", bytes);
  const TAdStringResource manager(kTestModule, "LIAR");
  EXPECT_EQ(manager.GetString(1), "abc");
  EXPECT_EQ(manager.GetString(2), "");
}

TEST(StringBlock, ModuleFallsBackToTheMainModule) {
  const TAdStringResource manager(kTestModule, AdsrmgrResourceName);
  EXPECT_EQ(manager.GetString(srCannotLock), "Cannot lock resource");
}

TEST(StringBlock, ChangeResourceSwitchesClosesAndFailsClosed) {
  Registered other("OTHER", MakeBlock({{1, u"other one"}}));
  TAdStringResource manager(MainModule, AdsrmgrResourceName);
  manager.ChangeResource(kTestModule, "OTHER");
  EXPECT_EQ(manager.GetString(1), "other one");
  EXPECT_EQ(manager.GetString(2), "");

  manager.ChangeResource(kTestModule, "");
  EXPECT_EQ(manager.GetString(1), "");

  manager.ChangeResource(kTestModule, "OTHER");
  EXPECT_THROW(manager.ChangeResource(kTestModule, "MISSING"), EStringResourceError);
  EXPECT_EQ(manager.GetString(1), "");
}

TEST(StringBlock, ReportMissingRaisesTextOne) {
  TAdStringResource manager(MainModule, AdsrmgrResourceName);
  EXPECT_FALSE(manager.ReportMissing());
  manager.SetReportMissing(true);
  try {
    manager.GetString(99);
    FAIL() << "nothing raised";
  } catch (const EStringResourceError& e) {
    EXPECT_EQ(e.Message(), "String not found: 99");
  }
  EXPECT_EQ(manager.GetString(srCannotLock), "Cannot lock resource");
}

TEST(StringBlock, ProgramWideManagerLivesFromInitToDone) {
  InitAdResourceManager();
  TAdStringResource& first = AdResourceManager();
  EXPECT_EQ(&first, &AdResourceManager());
  EXPECT_EQ(first.GetString(srCannotLock), "Cannot lock resource");

  // Lookups from several threads at once.
  std::vector<std::thread> readers;
  std::vector<std::string> seen(4);
  for (std::size_t i = 0; i < seen.size(); ++i)
    readers.emplace_back([&seen, i] {
      for (int n = 0; n < 200; ++n) seen[i] = AdResourceManager().GetString(srCannotOpen);
    });
  for (auto& t : readers) t.join();
  for (const auto& s : seen) EXPECT_EQ(s, "Unable to open string resource: %s");

  DoneAdResourceManager();
  // Used again without Init (e.g. from a tool that never ran start-up).
  EXPECT_EQ(AdResourceManager().GetString(srStringNotFound), "String not found: %d");
  DoneAdResourceManager();
}

}  // namespace
}  // namespace kestrel
