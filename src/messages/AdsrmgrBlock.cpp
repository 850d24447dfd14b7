// The program's own string block, built at compile time in its stored layout.

#include <array>
#include <cstdint>
#include <string_view>

#include "messages/Adsrmgr.h"

namespace kestrel {
namespace {

constexpr std::u16string_view kTexts[] = {
    u"String not found: %d",          u"Cannot lock resource",
    u"String resource not found: %s", u"Unable to open string resource: %s",
    u"Not a string resource: %s",
};
constexpr std::uint32_t kCount = std::size(kTexts);
constexpr std::size_t kIndexEnd = 8 + 12 * kCount;

constexpr std::size_t BlockSize() {
  std::size_t size = kIndexEnd;
  for (const auto text : kTexts) size += 2 * text.size();
  return size;
}
static_assert(BlockSize() == 324, "the program's string block is 324 bytes");

constexpr void Put32(std::array<std::uint8_t, BlockSize()>& block, std::size_t at,
                     std::uint32_t value) {
  for (int i = 0; i < 4; ++i) block[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

constexpr std::array<std::uint8_t, BlockSize()> BuildBlock() {
  std::array<std::uint8_t, BlockSize()> block{};
  block[0] = 'S';
  block[1] = 'T';
  block[2] = 'R';
  block[3] = '0';
  Put32(block, 4, kCount);
  std::size_t textAt = kIndexEnd;
  for (std::uint32_t i = 0; i < kCount; ++i) {
    const std::size_t entry = 8 + 12 * i;
    Put32(block, entry, i + 1);
    Put32(block, entry + 4, static_cast<std::uint32_t>(textAt));
    Put32(block, entry + 8, static_cast<std::uint32_t>(kTexts[i].size()));
    for (const char16_t c : kTexts[i]) {
      block[textAt++] = static_cast<std::uint8_t>(c);
      block[textAt++] = static_cast<std::uint8_t>(c >> 8);
    }
  }
  return block;
}

constexpr std::array<std::uint8_t, BlockSize()> kProgramBlock = BuildBlock();

}  // namespace

std::span<const std::uint8_t> ProgramStringBlock() {
  return kProgramBlock;
}

}  // namespace kestrel
