#pragma once
// The message table: one row per code, sorted by the absolute value of the
// code, strictly increasing. Constant data, so any thread may read it.

#include <span>

namespace kestrel {

struct TAdMessageRow {
  int Code;  // absolute value
  const char* Text;
};

std::span<const TAdMessageRow> AdMessageTable();

}  // namespace kestrel
