#include "terminal/AdByteQueue.h"

#include <cstring>

#include "messages/Adexcept.h"

namespace kestrel {

TaaByteQueue::TaaByteQueue() : Data_(std::make_unique<uint8_t[]>(64)) {}

uint8_t* TaaByteQueue::Reserve(size_t n) {
  if (Tail_ + n > Capacity_) {
    size_t capacity = Capacity_;
    while (Tail_ + n > capacity) capacity *= 2;
    auto grown = std::make_unique<uint8_t[]>(capacity);
    std::memcpy(grown.get(), Data_.get(), Tail_);
    Data_ = std::move(grown);
    Capacity_ = capacity;
  }
  return Data_.get() + Tail_;
}

void TaaByteQueue::Commit(size_t n) {
  if (Tail_ + n > Capacity_) throw Exception("TaaByteQueue: commit beyond the reserved space");
  Tail_ += n;
}

void TaaByteQueue::Append(const void* bytes, size_t n) {
  std::memcpy(Reserve(n), bytes, n);
  Commit(n);
}

const uint8_t* TaaByteQueue::Peek(size_t n) const {
  if (n > Count()) throw Exception("TaaByteQueue: fewer bytes held than asked for");
  return Data_.get() + Head_;
}

void TaaByteQueue::Remove(size_t n) {
  if (n > Count()) throw Exception("TaaByteQueue: fewer bytes held than asked for");
  Head_ += n;
  // The rest moves down to the start.
  std::memmove(Data_.get(), Data_.get() + Head_, Tail_ - Head_);
  Tail_ -= Head_;
  Head_ = 0;
}

}  // namespace kestrel
