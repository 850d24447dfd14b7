#include "loader/unattended/StationTally.h"

#include <cstdio>

namespace kestrel {

namespace {

constexpr double kPaceAfterSeconds = 60;

std::string count_text(const TStationTally::TCount& count, const char* what) {
  char text[128];
  std::snprintf(text, sizeof text, "%d %s%s, %d passed, %d failed", count.Runs, what,
                count.Runs == 1 ? "" : "s", count.Passed, count.Failed());
  return text;
}

}  // namespace

void TStationTally::Serve(const std::string& port) {
  if (FPorts.emplace(port, TCount{}).second) FOrder.push_back(port);
}

void TStationTally::Count(const std::string& port, bool pass) {
  Serve(port);
  TCount& count = FPorts[port];
  ++count.Runs;
  if (pass) ++count.Passed;
}

TStationTally::TCount TStationTally::Total() const {
  TCount total;
  for (const auto& [port, count] : FPorts) {
    total.Runs += count.Runs;
    total.Passed += count.Passed;
  }
  return total;
}

std::string TStationTally::Line() const {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - FStart).count();
  const TCount total = Total();
  // The pace of the first minute would be a guess.
  char pace[64] = "";
  if (seconds >= kPaceAfterSeconds)
    std::snprintf(pace, sizeof pace, ", %.0f per hour", total.Runs * 3600 / seconds);
  return count_text(total, "unit") + pace;
}

std::vector<std::string> TStationTally::Lines() const {
  std::vector<std::string> lines;
  for (const std::string& port : FOrder)
    lines.push_back(port + ": " + count_text(FPorts.at(port), "run"));
  lines.push_back("all ports: " + Line());
  return lines;
}

}  // namespace kestrel
