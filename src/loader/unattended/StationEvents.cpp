#include "loader/unattended/StationEvents.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <sstream>

namespace kestrel {

namespace {

constexpr int64_t kProgressEveryMs = 200;
constexpr const char* kEventFdVariable = "KESTREL_STATION_EVENT_FD";
constexpr const char* kFirstUnitVariable = "KESTREL_STATION_FIRST_UNIT";
constexpr const char* kUnitOnLineVariable = "KESTREL_STATION_UNIT_ON_LINE";

constexpr const char* kKindWords[] = {"waiting", "begins", "loading", "verdict", "takeoff", "note"};

std::string field(const std::string& text) {
  std::string shown = text;
  for (char& c : shown)
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  return shown;
}

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

std::string station_event_line(const TStationEvent& e) {
  std::string line = kKindWords[int(e.Kind)];
  line += '\t' + std::to_string(e.Unit);
  switch (e.Kind) {
    case TStationEvent::TKind::Loading: {
      char rate[32];
      std::snprintf(rate, sizeof rate, "%.0f", e.Rate);
      line += '\t' + field(e.File) + '\t' + std::to_string(e.Sent) + '\t' +
              std::to_string(e.Total) + '\t' + rate;
      break;
    }
    case TStationEvent::TKind::Verdict:
      line += std::string("\t") + (e.Pass ? "PASS" : "FAIL") + '\t' + field(e.Text);
      break;
    case TStationEvent::TKind::Note:
      line += '\t' + field(e.Text);
      break;
    default:
      break;
  }
  return line + '\n';
}

std::optional<TStationEvent> parse_station_event(const std::string& line) {
  std::vector<std::string> fields;
  std::string part;
  std::istringstream in(line);
  while (std::getline(in, part, '\t')) fields.push_back(part);
  if (fields.size() < 2) return std::nullopt;
  TStationEvent e;
  int kind = -1;
  for (int i = 0; i < int(std::size(kKindWords)); ++i)
    if (fields[0] == kKindWords[i]) kind = i;
  if (kind < 0) return std::nullopt;
  e.Kind = TStationEvent::TKind(kind);
  e.Unit = std::atoi(fields[1].c_str());
  switch (e.Kind) {
    case TStationEvent::TKind::Loading:
      if (fields.size() < 6) return std::nullopt;
      e.File = fields[2];
      e.Sent = std::strtoull(fields[3].c_str(), nullptr, 10);
      e.Total = std::strtoull(fields[4].c_str(), nullptr, 10);
      e.Rate = std::strtod(fields[5].c_str(), nullptr);
      break;
    case TStationEvent::TKind::Verdict:
      if (fields.size() < 3) return std::nullopt;
      e.Pass = fields[2] == "PASS";
      e.Text = fields.size() > 3 ? fields[3] : "";
      break;
    case TStationEvent::TKind::Note:
      e.Text = fields.size() > 2 ? fields[2] : "";
      break;
    default:
      break;
  }
  return e;
}

void TStationEventWriter::Send(const TStationEvent& event) {
  if (FFd < 0) return;
  const std::string line = station_event_line(event);
  // One write a line: the supervisor never sees half of one beside
  // another. A supervisor that has gone leaves nobody to tell.
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(FFd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += size_t(n);
  }
}

void TStationEventWriter::UploadBegins(const std::string& file, uint64_t total) {
  FLastProgressMs = 0;
  Progress(file, 0, total, 0);
}

void TStationEventWriter::Progress(const std::string& file, uint64_t sent, uint64_t total,
                                   double bytesPerSecond) {
  const int64_t now = now_ms();
  if (sent < total && sent > 0 && now - FLastProgressMs < kProgressEveryMs) return;
  FLastProgressMs = now;
  TStationEvent e;
  e.Kind = TStationEvent::TKind::Loading;
  e.File = file;
  e.Sent = sent;
  e.Total = total;
  e.Rate = bytesPerSecond;
  Send(e);
}

std::vector<std::string> TStationChildSetup::Environment() const {
  return {std::string(kEventFdVariable) + "=" + (EventFd >= 0 ? std::to_string(EventFd) : ""),
          std::string(kFirstUnitVariable) + "=" + std::to_string(FirstUnit),
          std::string(kUnitOnLineVariable) + "=" + (UnitOnLine ? "1" : "0")};
}

TStationChildSetup TStationChildSetup::FromEnvironment() {
  TStationChildSetup setup;
  // Only a descriptor this process holds is written to, and no process it
  // starts inherits it.
  if (const char* fd = std::getenv(kEventFdVariable); fd && *fd) {
    const int number = std::atoi(fd);
    if (number > 2 && ::fcntl(number, F_SETFD, FD_CLOEXEC) == 0) setup.EventFd = number;
  }
  if (const char* first = std::getenv(kFirstUnitVariable); first && std::atoi(first) > 0)
    setup.FirstUnit = std::atoi(first);
  if (const char* onLine = std::getenv(kUnitOnLineVariable); onLine)
    setup.UnitOnLine = std::string(onLine) == "1";
  // What this process hands on goes no further.
  ::unsetenv(kEventFdVariable);
  ::unsetenv(kFirstUnitVariable);
  ::unsetenv(kUnitOnLineVariable);
  return setup;
}

}  // namespace kestrel
