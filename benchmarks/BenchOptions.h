#pragma once
// The command line every benchmark takes:
//   --quick   the smallest sizes and fewest rounds, so that the program runs
//             in seconds: ./test runs each so, to see that it still works
//             and prints its figures; the figures themselves mean little.

#include <cstring>

namespace kestrel::bench {

inline bool HasOption(int argc, char** argv, const char* option) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], option) == 0) return true;
  return false;
}

inline bool QuickRun(int argc, char** argv) {
  return HasOption(argc, argv, "--quick");
}

}  // namespace kestrel::bench
