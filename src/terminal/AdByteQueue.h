#pragma once
// TaaByteQueue: received bytes waiting for the window thread. Space is
// reserved and committed at the tail, taken and removed at the head; the
// capacity starts at 64 bytes and doubles while a reservation does not fit.
//
// Thread contract: not synchronised; the terminal window guards it with a
// lock shared by the dispatcher thread and the window thread.

#include <cstddef>
#include <cstdint>
#include <memory>

namespace kestrel {

class TaaByteQueue {
 public:
  TaaByteQueue();

  // Room for n bytes at the tail; the place to write them.
  uint8_t* Reserve(size_t n);
  void Commit(size_t n);
  void Append(const void* bytes, size_t n);
  size_t Count() const { return Tail_ - Head_; }
  size_t Capacity() const { return Capacity_; }
  // The n oldest bytes. Peek and Remove raise an Exception, changing
  // nothing, when fewer are held.
  const uint8_t* Peek(size_t n) const;
  void Remove(size_t n);
  void Empty() { Head_ = Tail_ = 0; }

 private:
  std::unique_ptr<uint8_t[]> Data_;
  size_t Capacity_ = 64;
  size_t Head_ = 0;
  size_t Tail_ = 0;
};

}  // namespace kestrel
