#pragma once
// The capture of one answer line: the bytes a unit sends after a query, up
// to the prompt that follows them. Deliveries of any size are taken in
// pieces that fit the line; a line that would run past its end starts over,
// and the last byte of the line is never written, so it stays ended.

#include <array>
#include <cstdint>
#include <functional>
#include <string>

namespace kestrel {

class TCaptureLine {
 public:
  static constexpr int kSize = 1000;
  // Reads `count` bytes from the port into `into`; throws when the port has
  // gone away.
  using TReader = std::function<void(char* into, uint16_t count)>;

  void Clear() {
    Line.fill(0);
    Fill = 0;
  }

  // Takes a delivery of `count` bytes. A prompt character after at least
  // `minLength` bytes ends the line before it; the rest of the delivery is
  // read and dropped, and Take returns true. A port that fails meanwhile
  // ends the delivery with what was taken.
  bool Take(int count, const TReader& read, char normalPrompt, char loaderPrompt, int minLength);

  // A completed line up to its end, otherwise the bytes gathered so far.
  std::string Text() const;

  std::array<char, kSize> Line{};
  int Fill = 0;
};

}  // namespace kestrel
