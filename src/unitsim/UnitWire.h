#pragma once
// The clock of one direction of a serial wire: how many bytes have crossed
// it by a given time. Counted from the moment the wire started sending, so
// that rates whose byte time is no whole number of microseconds (10 bits at
// 3000000 baud take 3.33 us) keep their exact pace over any length.
//
// Thread contract: one owner; no locking.

#include <algorithm>
#include <cstdint>

namespace kestrel {

class TUnitWire {
 public:
  TUnitWire(int64_t bitsPerByte, int64_t baud, int64_t nowUs)
      : bitMicros_(std::max<int64_t>(1, bitsPerByte) * 1000000),
        baud_(std::max<int64_t>(1, baud)),
        startUs_(nowUs) {}

  // Sending starts again at `nowUs`: an idle wire does not owe the time it
  // stood still.
  void Restart(int64_t nowUs) {
    startUs_ = nowUs;
    taken_ = 0;
  }

  // Bytes that have crossed by `nowUs` and were not taken yet.
  int64_t Due(int64_t nowUs) const {
    if (nowUs <= startUs_) return 0;
    const __int128 crossed = __int128(nowUs - startUs_) * baud_ / bitMicros_;
    return std::max<int64_t>(0, int64_t(crossed) - taken_);
  }
  void Take(int64_t n) { taken_ += n; }

  // When the next byte will have crossed, and when the last one taken had.
  int64_t NextUs() const { return EndOf(taken_ + 1); }
  int64_t FreeUs() const { return EndOf(taken_); }

 private:
  // The end of byte `n` (1 = the first), rounded up to a microsecond.
  int64_t EndOf(int64_t n) const {
    return startUs_ + int64_t((__int128(n) * bitMicros_ + baud_ - 1) / baud_);
  }

  int64_t bitMicros_;  // bits a byte, times a million
  int64_t baud_;
  int64_t startUs_;
  int64_t taken_ = 0;
};

}  // namespace kestrel
