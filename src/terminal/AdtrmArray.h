#pragma once
// TadTerminalArray: one plane of the terminal screen (characters, character
// sets, attributes or colours), rows of equal stride, each row contiguous.
// Rows and columns here are internal and 0-based.
//
// The block is a ring of rows: row 0 starts at a moving base, so scrolling
// the whole array (every line feed on the bottom screen row pushes a line
// into the scrollback) turns the base instead of moving every kept row.
//
// Thread contract: single thread (the one that owns the terminal buffer).

#include <cstdint>
#include <memory>

namespace kestrel {

class TadTerminalArray {
 public:
  // itemSize 1, 2 or 4 bytes; anything else is taken as 1.
  explicit TadTerminalArray(int itemSize);

  void SetDefaultItem(uint32_t item) { DefaultItem_ = item; }
  uint32_t DefaultItem() const { return DefaultItem_; }
  void taSetColCount(int count);
  void taSetRowCount(int count);
  int ColCount() const { return ColCount_; }
  int RowCount() const { return RowCount_; }
  int RowStride() const { return RowStride_; }
  int ItemSize() const { return ItemSize_; }

  // nullptr while the array has no storage.
  void* GetItemPtr(int row, int col);
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
  void ReplaceItems(uint32_t oldItem, uint32_t newItem);
  void Clear();

 private:
  // New block of rows x stride, the last rows of the old one kept.
  void taGrowArray(int rowCount, int colCount, int stride);
  int StrideFor(int colCount) const;
  uint8_t* Row(int row) {
    int at = Base_ + row;
    if (at >= RowCount_) at -= RowCount_;
    return Data_.get() + size_t(at) * RowStride_ * ItemSize_;
  }
  void FillRows(int first, int last);
  bool ValidRow(int row) const { return Data_ && row >= 0 && row < RowCount_; }
  void Fill(uint8_t* at, int count, uint32_t item);

  int RowStride_ = -1;
  int ColCount_ = 0;
  uint32_t DefaultItem_ = 0;
  std::unique_ptr<uint8_t[]> Data_;
  int ItemSize_;
  int RowCount_ = 0;
  int Base_ = 0;  // block row holding row 0
};

}  // namespace kestrel
