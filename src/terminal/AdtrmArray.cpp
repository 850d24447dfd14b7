#include "terminal/AdtrmArray.h"

#include <algorithm>
#include <cstring>

#include "messages/Adexcept.h"

namespace kestrel {

TadTerminalArray::TadTerminalArray(int itemSize)
    : ItemSize_(itemSize == 2 || itemSize == 4 ? itemSize : 1) {}

int TadTerminalArray::StrideFor(int colCount) const {
  // Whole 4-byte words per row, so rows can be filled a word at a time.
  switch (ItemSize_) {
    case 1:
      return (colCount + 3) & ~3;
    case 2:
      return (colCount + 1) & ~1;
    default:
      return colCount;
  }
}

void TadTerminalArray::FillLong(uint8_t* at, int count, uint32_t item) {
  if (count <= 0) return;
  if (count < 16) {  // only 2-byte items come here this short
    std::fill_n(reinterpret_cast<uint16_t*>(at), count, uint16_t(item));
    return;
  }
  // Longer fills copy from a row already holding the item.
  item = Truncated(item);
  const size_t bytes = size_t(count) * ItemSize_;
  if (Pattern_.size() < bytes || PatternItem_ != item) {
    Pattern_.resize(std::max(bytes, RowBytes_));
    const size_t n = Pattern_.size() / ItemSize_;
    if (ItemSize_ == 2)
      std::fill_n(reinterpret_cast<uint16_t*>(Pattern_.data()), n, uint16_t(item));
    else
      std::fill_n(reinterpret_cast<uint32_t*>(Pattern_.data()), n, item);
    PatternItem_ = item;
  }
  std::memcpy(at, Pattern_.data(), bytes);
}

void TadTerminalArray::FillGap(int at, int col) {
  FillBlank(at, col);
}

void TadTerminalArray::FillAllBlankRows() {
  for (int at = 0; at < RowCount_; ++at)
    if (Filled_[size_t(at)] < RowStride_) FillBlank(at, RowStride_);
}

TadTerminalArray::Shape TadTerminalArray::taGrowArray(int rowCount, int colCount, int stride) {
  Shape shape;
  shape.Rows = rowCount;
  shape.Cols = colCount;
  shape.Stride = stride;
  if (rowCount <= 0 || colCount <= 0) return shape;
  const size_t rowBytes = size_t(stride) * ItemSize_;
  shape.Data = std::make_unique_for_overwrite<uint8_t[]>(size_t(rowCount) * rowBytes);
  shape.Filled.assign(size_t(rowCount), 0);
  shape.BlankItem.assign(size_t(rowCount), DefaultItem_);
  if (!Data_) return shape;
  // The screen sits at the bottom: the last rows survive. Reading the old
  // rows whole first changes nothing anyone sees.
  FillAllBlankRows();
  const int rows = std::min(RowCount_, rowCount);
  const int cols = std::min(ColCount_, colCount);
  for (int i = 1; i <= rows; ++i) {
    const size_t to = size_t(rowCount - i);
    std::memcpy(shape.Data.get() + to * rowBytes, Block(At(RowCount_ - i)),
                size_t(cols) * ItemSize_);
    shape.Filled[to] = cols;
  }
  return shape;
}

TadTerminalArray::Shape TadTerminalArray::PrepareShape(int rowCount, int colCount) {
  const int stride = StrideFor(colCount);
  if (Data_ && rowCount == RowCount_ && stride == RowStride_) {
    Shape shape;
    shape.Rows = rowCount;
    shape.Cols = colCount;
    shape.Stride = stride;
    shape.InPlace = true;
    return shape;
  }
  return taGrowArray(rowCount, colCount, stride);
}

void TadTerminalArray::UnturnRing() noexcept {
  if (Base_ == 0) return;
  std::rotate(Data_.get(), Data_.get() + size_t(Base_) * RowBytes_,
              Data_.get() + size_t(RowCount_) * RowBytes_);
  std::rotate(Filled_.begin(), Filled_.begin() + Base_, Filled_.end());
  std::rotate(BlankItem_.begin(), BlankItem_.begin() + Base_, BlankItem_.end());
  Base_ = 0;
}

void TadTerminalArray::CommitShape(Shape&& shape) noexcept {
  if (shape.InPlace) {
    // Planes of other item sizes get a new block with row 0 first; this
    // one must place its rows the same way, or a row written through one
    // block row lands on different rows in different planes.
    UnturnRing();
    // Columns that come back into use hold what they held before a
    // narrowing; show them blank instead.
    if (shape.Cols > ColCount_)
      for (int at = 0; at < RowCount_; ++at) {
        const int filled = std::min(Filled_[size_t(at)], shape.Cols);
        if (filled > ColCount_)
          Fill(Block(at) + size_t(ColCount_) * ItemSize_, filled - ColCount_, DefaultItem_);
      }
    ColCount_ = shape.Cols;
    return;
  }
  RowCount_ = shape.Rows;
  ColCount_ = shape.Cols;
  RowStride_ = shape.Stride;
  RowBytes_ = size_t(shape.Stride) * ItemSize_;
  Base_ = 0;
  Data_ = std::move(shape.Data);
  Filled_ = std::move(shape.Filled);
  BlankItem_ = std::move(shape.BlankItem);
  Pattern_.clear();
}

void TadTerminalArray::FillRows(int first, int last) {
  for (int r = first; r <= last; ++r) MarkBlank(r, DefaultItem_);
}

void* TadTerminalArray::GetItemPtr(int row, int col) {
  if (ItemSize_ != 1 && ItemSize_ != 2 && ItemSize_ != 4)
    throw Exception("TadTerminalArray.GetItemPtr: invalid item size");
  if (!ValidRow(row) || col < 0 || col >= ColCount_) return nullptr;
  return Row(row) + size_t(col) * ItemSize_;
}

const void* TadTerminalArray::GetItemPtr(int row, int col) const {
  return const_cast<TadTerminalArray*>(this)->GetItemPtr(row, col);
}

void TadTerminalArray::WriteItems(const void* items, int count, int row, int col) {
  if (!ValidRow(row) || col < 0 || col >= ColCount_) return;
  count = std::min(count, ColCount_ - col);
  if (count > 0) std::memcpy(Row(row) + size_t(col) * ItemSize_, items, size_t(count) * ItemSize_);
}

void TadTerminalArray::WriteDupItems(uint32_t item, int count, int row, int col) {
  if (!ValidRow(row) || col < 0 || col >= ColCount_) return;
  Fill(Row(row) + size_t(col) * ItemSize_, std::min(count, ColCount_ - col), item);
}

void TadTerminalArray::ClearItems(int row, int fromCol, int toCol) {
  if (!ValidRow(row)) return;
  fromCol = std::max(fromCol, 0);
  toCol = std::min(toCol, ColCount_ - 1);
  Fill(Row(row) + size_t(fromCol) * ItemSize_, toCol - fromCol + 1, DefaultItem_);
}

void TadTerminalArray::InsertItems(int count, int row, int col) {
  if (!ValidRow(row) || col < 0 || col >= ColCount_ || count <= 0) return;
  count = std::min(count, ColCount_ - col);
  uint8_t* at = Row(row) + size_t(col) * ItemSize_;
  std::memmove(at + size_t(count) * ItemSize_, at, size_t(ColCount_ - col - count) * ItemSize_);
  Fill(at, count, DefaultItem_);
}

void TadTerminalArray::DeleteItems(int count, int row, int col) {
  if (!ValidRow(row) || col < 0 || col >= ColCount_ || count <= 0) return;
  count = std::min(count, ColCount_ - col);
  uint8_t* at = Row(row) + size_t(col) * ItemSize_;
  std::memmove(at, at + size_t(count) * ItemSize_, size_t(ColCount_ - col - count) * ItemSize_);
  Fill(Row(row) + size_t(ColCount_ - count) * ItemSize_, count, DefaultItem_);
}

void TadTerminalArray::ScrollRows(int count, int startRow, int endRow) {
  if (!Data_ || count == 0) return;
  if (startRow > endRow) std::swap(startRow, endRow);
  startRow = std::max(startRow, 0);
  endRow = std::min(endRow, RowCount_ - 1);
  if (startRow > endRow) return;
  const int span = endRow - startRow;
  const int shift = count > 0 ? count : -count;
  if (shift > span) {
    FillRows(startRow, endRow);
    return;
  }
  if (startRow == 0 && endRow == RowCount_ - 1) {
    // The whole ring: turn the base.
    Base_ += count > 0 ? shift : RowCount_ - shift;
    if (Base_ >= RowCount_) Base_ -= RowCount_;
  } else {
    // A row not filled yet moves as its mark.
    auto move = [&](int to, int from) {
      const size_t t = size_t(At(to)), f = size_t(At(from));
      Filled_[t] = Filled_[f];
      BlankItem_[t] = BlankItem_[f];
      std::memcpy(Block(int(t)), Block(int(f)), size_t(Filled_[f]) * ItemSize_);
    };
    if (count > 0)
      for (int r = startRow; r <= endRow - shift; ++r) move(r, r + shift);
    else
      for (int r = endRow; r >= startRow + shift; --r) move(r, r - shift);
  }
  if (count > 0)
    FillRows(endRow - shift + 1, endRow);
  else
    FillRows(startRow, startRow + shift - 1);
}

void TadTerminalArray::ReplaceItems(uint32_t oldItem, uint32_t newItem) {
  if (!Data_) return;
  oldItem = Truncated(oldItem);
  newItem = Truncated(newItem);
  for (int at = 0; at < RowCount_; ++at) {
    if (Truncated(BlankItem_[size_t(at)]) == oldItem) BlankItem_[size_t(at)] = newItem;
    const int n = Filled_[size_t(at)];
    uint8_t* row = Block(at);
    switch (ItemSize_) {
      case 1:
        std::replace(row, row + n, uint8_t(oldItem), uint8_t(newItem));
        break;
      case 2: {
        auto* p = reinterpret_cast<uint16_t*>(row);
        std::replace(p, p + n, uint16_t(oldItem), uint16_t(newItem));
        break;
      }
      default: {
        auto* p = reinterpret_cast<uint32_t*>(row);
        std::replace(p, p + n, oldItem, newItem);
        break;
      }
    }
  }
}

void TadTerminalArray::Clear() {
  if (Data_) FillRows(0, RowCount_ - 1);
}

}  // namespace kestrel
