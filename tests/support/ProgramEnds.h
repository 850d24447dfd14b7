#pragma once
// Watches a window's runs for the end of its work and keeps each status the
// program would have ended with.

#include <vector>

#include "loader/core/RunObserver.h"

namespace kestrel {

struct TProgramEnds : TRunObserver {
  void ProgramEnds(int status) override { Statuses.push_back(status); }
  std::vector<int> Statuses;
};

}  // namespace kestrel
