#pragma once
// What a port's station tells the station that supervises many ports: one
// line of text per event on a pipe, fields split by tabs, each line one
// write(). The supervisor draws its board and keeps its tally from these
// alone; the unit's words reach it inside them. Both ends live here, so the
// two sides never disagree on a line.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "loader/core/RunObserver.h"

namespace kestrel {

struct TStationEvent {
  enum class TKind {
    Waiting,  // waiting for unit `Unit`
    Begins,   // unit `Unit` answered: its run begins
    Loading,  // `Sent` of `Total` bytes of `File`, at `Rate` bytes a second
    Verdict,  // unit `Unit` done: `Pass`, `Text` (the cause when it failed)
    TakeOff,  // unit `Unit` is done and should be taken off the line
    Note,     // something the operator should know: `Text`
  };
  TKind Kind = TKind::Note;
  int Unit = 0;
  std::string File;
  uint64_t Sent = 0;
  uint64_t Total = 0;
  double Rate = 0;
  bool Pass = false;
  std::string Text;
};

// The line of `event`, its line feed included; tabs and line breaks in
// texts become spaces.
std::string station_event_line(const TStationEvent& event);
// The event a line (without its line feed) holds; none for a line that is
// not one.
std::optional<TStationEvent> parse_station_event(const std::string& line);

// The port's side: writes events to `fd` (-1: nowhere). Progress is
// thinned to a few lines a second; the last block always goes. Window
// thread only.
class TStationEventWriter : public TRunObserver {
 public:
  explicit TStationEventWriter(int fd) : FFd(fd) {}
  void Send(const TStationEvent& event);

  void UploadBegins(const std::string& file, uint64_t total) override;
  void Progress(const std::string& file, uint64_t sent, uint64_t total,
                double bytesPerSecond) override;

 private:
  int FFd;
  int64_t FLastProgressMs = 0;
};

// What the supervisor hands a port's station besides its command line, in
// the environment of the process it starts.
struct TStationChildSetup {
  int EventFd = -1;         // where events go; -1: a station of its own
  int FirstUnit = 1;        // the number of the first unit it waits for
  bool UnitOnLine = false;  // a unit is still on the line: wait until it goes

  // The environment entries that carry it ("NAME=value").
  std::vector<std::string> Environment() const;
  // What the environment of this process says; the defaults without it.
  static TStationChildSetup FromEnvironment();
};

}  // namespace kestrel
