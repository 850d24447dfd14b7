#pragma once
// The trace: the most recent bytes sent and received, each with its kind
// ('T' sent, 'R' received, anything else a special entry), kept in a ring
// and written as readable text.

#include <cstdint>
#include <memory>
#include <string>

namespace kestrel {

// Thread contract: the dispatcher calls it under its main lock.
class TApdTraceRecorder {
 public:
  static constexpr uint32_t MaxEntries = 4000000;

  // Throws std::bad_alloc when the ring cannot be had.
  explicit TApdTraceRecorder(uint32_t entries);

  bool Recording = false;

  void Clear();
  bool Empty() const { return Position_ == 0 && !Wrapped_; }
  void Add(char kind, uint8_t byte);
  // Writes the entries, oldest first, in sections by kind; 0 or a negative
  // result code of the file.
  int Write(const std::string& file, bool hex, bool allHex, bool append) const;

 private:
  struct TEntry {
    char Kind;
    uint8_t Byte;
  };
  std::unique_ptr<TEntry[]> Entries_;
  uint32_t Size_;
  uint32_t Position_ = 0;
  bool Wrapped_ = false;
};

}  // namespace kestrel
