#pragma once
// TadTerminalArray: one plane of the terminal screen (characters, character
// sets, attributes or colours), rows of equal stride, each row contiguous.
// Rows and columns here are internal and 0-based.
//
// The block is a ring of rows: row 0 starts at a moving base, so scrolling
// the whole array (every line feed on the bottom screen row pushes a line
// into the scrollback) turns the base instead of moving every kept row.
// A row that scrolls in (or is cleared whole) is not filled at once: it
// remembers the item it is blank with and how many items from its start
// hold their own content. Writing fills only up to what it writes; reading
// fills the rest. So a line feed costs the same whatever the width, and a
// short line costs what it writes.
//
// Thread contract: single thread (the one that owns the terminal buffer).

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace kestrel {

// Short fills and copies, as a screen write makes them, in a few
// overlapping word stores instead of a call; long ones through the library.
inline void FillBytes(uint8_t* at, int n, uint8_t v) {
  if (n > 16) {
    std::memset(at, v, size_t(n));
  } else if (n >= 8) {
    const uint64_t w = 0x0101010101010101ull * v;
    std::memcpy(at, &w, 8);
    std::memcpy(at + n - 8, &w, 8);
  } else if (n >= 4) {
    const uint32_t w = 0x01010101u * v;
    std::memcpy(at, &w, 4);
    std::memcpy(at + n - 4, &w, 4);
  } else if (n > 0) {
    at[0] = at[n / 2] = at[n - 1] = v;
  }
}

inline void CopyBytes(uint8_t* to, const uint8_t* from, int n) {
  if (n > 16) {
    std::memcpy(to, from, size_t(n));
  } else if (n >= 8) {
    uint64_t a, b;
    std::memcpy(&a, from, 8);
    std::memcpy(&b, from + n - 8, 8);
    std::memcpy(to, &a, 8);
    std::memcpy(to + n - 8, &b, 8);
  } else {
    for (int i = 0; i < n; ++i) to[i] = from[i];
  }
}

inline void FillItems32(uint32_t* at, int n, uint32_t item) {
  if (n < 4) {
    if (n > 0) at[0] = at[n / 2] = at[n - 1] = item;
    return;
  }
  const uint32_t quad[4] = {item, item, item, item};
  for (int i = 0; i + 4 < n; i += 4) std::memcpy(at + i, quad, sizeof quad);
  std::memcpy(at + n - 4, quad, sizeof quad);
}

class TadTerminalArray {
 public:
  // itemSize 1, 2 or 4 bytes; anything else is taken as 1.
  explicit TadTerminalArray(int itemSize);

  void SetDefaultItem(uint32_t item) { DefaultItem_ = item; }
  uint32_t DefaultItem() const { return DefaultItem_; }

  // A new shape is made in two steps, so that the planes of one screen
  // take it together or not at all: PrepareShape allocates and copies
  // (it may throw, leaving the array as it was), CommitShape never fails.
  struct Shape {
    int Rows = 0, Cols = 0, Stride = 0;
    bool InPlace = false;  // same rows and stride: the block is kept
    std::unique_ptr<uint8_t[]> Data;
    std::vector<int> Filled;
    std::vector<uint32_t> BlankItem;
  };
  Shape PrepareShape(int rowCount, int colCount);
  void CommitShape(Shape&& shape) noexcept;
  void taSetColCount(int count) { CommitShape(PrepareShape(RowCount_, count)); }
  void taSetRowCount(int count) { CommitShape(PrepareShape(count, ColCount_)); }
  int ColCount() const { return ColCount_; }
  int RowCount() const { return RowCount_; }
  int RowStride() const { return RowStride_; }
  int ItemSize() const { return ItemSize_; }

  // nullptr while the array has no storage.
  void* GetItemPtr(int row, int col);
  // The first item of a row, ready to be read or written; nullptr when
  // the row is out of range.
  uint8_t* RowData(int row) { return ValidRow(row) ? Row(row) : nullptr; }
  // Where a row lies in the block, -1 when out of range. Arrays that are
  // sized and scrolled together place every row alike.
  int BlockRowOf(int row) const { return ValidRow(row) ? At(row) : -1; }
  // The row at block row `at`, for a caller that writes every item from
  // column `col` up to (not including) `end` and nothing else: what lies
  // beyond may stay blank until it is read.
  uint8_t* BlockRowForWrite(int at, int col, int end) {
    int& filled = Filled_[size_t(at)];
    if (filled < end) {
      if (filled < col) FillGap(at, col);
      filled = end;
    }
    return Block(at);
  }
  const void* GetItemPtr(int row, int col) const;

  // Both copy at most up to the end of the row.
  void WriteItems(const void* items, int count, int row, int col);
  void WriteDupItems(uint32_t item, int count, int row, int col);
  // Fills fromCol .. toCol (both inclusive) with the default item.
  void ClearItems(int row, int fromCol, int toCol);
  void InsertItems(int count, int row, int col);
  void DeleteItems(int count, int row, int col);
  // count > 0 moves rows up, < 0 down; vacated rows take the default item.
  void ScrollRows(int count, int startRow, int endRow);
  // ScrollRows(1, 0, RowCount - 1), the line feed on the bottom row.
  void ScrollAllUpOne() {
    if (!Data_ || RowCount_ < 2) return;
    const int at = Base_;
    Base_ = at + 1 == RowCount_ ? 0 : at + 1;
    Filled_[size_t(at)] = 0;  // the old first row is the new last one
    BlankItem_[size_t(at)] = DefaultItem_;
  }
  void ReplaceItems(uint32_t oldItem, uint32_t newItem);
  void Clear();

 private:
  // New block of rows x stride, the last rows of the old one kept.
  Shape taGrowArray(int rowCount, int colCount, int stride);
  // Puts row 0 at the start of the block again.
  void UnturnRing() noexcept;
  int StrideFor(int colCount) const;
  int At(int row) const {
    const int at = Base_ + row;
    return at >= RowCount_ ? at - RowCount_ : at;
  }
  uint8_t* Block(int at) { return Data_.get() + size_t(at) * RowBytes_; }
  // The row ready to be read or written (the blank rest is filled first).
  uint8_t* Row(int row) {
    const int at = At(row);
    if (Filled_[size_t(at)] < RowStride_) FillBlank(at, RowStride_);
    return Block(at);
  }
  // Fills the blank part of a block row up to (not including) item `to`.
  void FillBlank(int at, int to) {
    const int from = Filled_[size_t(at)];
    Fill(Block(at) + size_t(from) * ItemSize_, to - from, BlankItem_[size_t(at)]);
    Filled_[size_t(at)] = to;
  }
  void MarkBlank(int row, uint32_t item) {
    const size_t at = size_t(At(row));
    Filled_[at] = 0;
    BlankItem_[at] = item;
  }
  void FillGap(int at, int col);  // FillBlank, kept out of line
  void FillRows(int first, int last);
  void FillAllBlankRows();
  bool ValidRow(int row) const { return Data_ && row >= 0 && row < RowCount_; }
  void Fill(uint8_t* at, int count, uint32_t item) {
    if (ItemSize_ == 1)
      FillBytes(at, count, uint8_t(item));
    else if (ItemSize_ == 4 && count < 16)
      FillItems32(reinterpret_cast<uint32_t*>(at), count, item);
    else
      FillLong(at, count, item);
  }
  void FillLong(uint8_t* at, int count, uint32_t item);
  uint32_t Truncated(uint32_t item) const {
    return ItemSize_ == 4 ? item : item & ((1u << (8 * ItemSize_)) - 1);
  }

  int RowStride_ = -1;
  int ColCount_ = 0;
  uint32_t DefaultItem_ = 0;
  std::unique_ptr<uint8_t[]> Data_;
  int ItemSize_;
  int RowCount_ = 0;
  int Base_ = 0;  // block row holding row 0
  size_t RowBytes_ = 0;
  std::vector<int> Filled_;          // by block row: items holding their content
  std::vector<uint32_t> BlankItem_;  // by block row: what the rest is blank with
  // A whole row of one item, copied into rows being filled.
  std::vector<uint8_t> Pattern_;
  uint32_t PatternItem_ = 0;
};

}  // namespace kestrel
