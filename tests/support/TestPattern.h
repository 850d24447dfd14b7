#pragma once
// Test data: bytes that differ from block to block, so that a lost, repeated
// or reordered block shows. The same size and seed give the same bytes.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrel::test {

inline std::vector<uint8_t> PatternBytes(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  uint32_t x = seed * 2654435761u + 1;
  for (uint8_t& b : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  return bytes;
}

inline std::string Pattern(size_t size, uint32_t seed) {
  const std::vector<uint8_t> bytes = PatternBytes(size, seed);
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace kestrel::test
