// The capture of a query's answer line on any bytes, delivered in pieces of
// any size: every byte of a delivery is read from the port exactly once,
// nothing is written past the line, the line stays ended, and a line that
// ends at a prompt holds no prompt after its minimum length.
#include <cstdint>
#include <cstring>
#include <string>

#include "FuzzCheck.h"
#include "loader/core/CaptureLine.h"

using kestrel::TCaptureLine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const char normal = char(data[0]);
  const char loader = char(data[1]);
  const int minLength = data[2] % 40;
  data += 3;
  size -= 3;

  TCaptureLine capture;
  capture.Clear();
  size_t at = 0;
  // Each delivery's size comes from two bytes of the input; the bytes after
  // them are what the port holds.
  while (at + 2 <= size) {
    const size_t wanted = (size_t(data[at]) << 8 | data[at + 1]) % 3000 + 1;
    at += 2;
    const size_t count = std::min(wanted, size - at);
    if (count == 0) break;
    size_t taken = 0;
    const auto read = [&](char* into, uint16_t n) {
      FUZZ_CHECK(taken + n <= count);
      std::memcpy(into, data + at + taken, n);
      taken += n;
    };
    // The reader may write anywhere it is pointed: ASan catches a pointer
    // past the line.
    const bool ended = capture.Take(int(count), read, normal, loader, minLength);
    FUZZ_CHECK(taken == count);
    FUZZ_CHECK(capture.Fill >= 0 && capture.Fill < TCaptureLine::kSize);
    FUZZ_CHECK(capture.Line[TCaptureLine::kSize - 1] == 0);
    const std::string text = capture.Text();
    FUZZ_CHECK(text.size() < size_t(TCaptureLine::kSize));
    if (ended) {
      FUZZ_CHECK(capture.Fill == 0);
      for (size_t i = size_t(minLength); i < text.size(); ++i)
        FUZZ_CHECK(text[i] != normal && text[i] != loader);
      capture.Clear();
    }
    at += count;
  }
  return 0;
}
