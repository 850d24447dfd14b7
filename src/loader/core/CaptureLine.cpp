#include "loader/core/CaptureLine.h"

#include <algorithm>
#include <cstring>
#include <exception>

namespace kestrel {

bool TCaptureLine::Take(int count, const TReader& read, char normalPrompt, char loaderPrompt,
                        int minLength) {
  int left = count;
  while (left > 0) {
    const int piece = std::min(left, kSize - 1);
    // What was gathered is given up when the piece would not fit.
    if (Fill + piece >= kSize) Clear();
    char* const at = Line.data() + Fill;
    try {
      read(at, uint16_t(piece));
    } catch (const std::exception&) {
      return false;
    }
    left -= piece;
    for (int i = 0; i < piece; ++i) {
      const char c = at[i];
      if ((c == normalPrompt || c == loaderPrompt) && Fill >= minLength) {
        std::memset(at + i, 0, size_t(piece - i));
        Fill = 0;
        try {
          // At most a piece at a time, as a delivery's count may exceed
          // what one read takes.
          std::string rest(size_t(std::min(left, kSize - 1)), '\0');
          while (left > 0) {
            const int n = std::min(left, kSize - 1);
            read(rest.data(), uint16_t(n));
            left -= n;
          }
        } catch (const std::exception&) {
        }
        return true;
      }
      ++Fill;
    }
  }
  return false;
}

std::string TCaptureLine::Text() const {
  return std::string(Line.data(), strnlen(Line.data(), Line.size()));
}

}  // namespace kestrel
