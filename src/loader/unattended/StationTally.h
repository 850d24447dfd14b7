#pragma once
// The count a station keeps: runs, passes and failures per port and in all,
// and the pace of the whole station since it started.

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace kestrel {

class TStationTally {
 public:
  struct TCount {
    int Runs = 0;
    int Passed = 0;
    int Failed() const { return Runs - Passed; }
  };

  void Count(const std::string& port, bool pass);
  // A port served without a run yet is named in the tally all the same.
  void Serve(const std::string& port);

  TCount Total() const;
  // "7 units, 6 passed, 1 failed, 130 per hour"; the pace once the
  // station has run a minute.
  std::string Line() const;
  // One line per port in the order first served, then the total.
  std::vector<std::string> Lines() const;

 private:
  std::chrono::steady_clock::time_point FStart = std::chrono::steady_clock::now();
  std::vector<std::string> FOrder;
  std::map<std::string, TCount> FPorts;
};

}  // namespace kestrel
