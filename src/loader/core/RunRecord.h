#pragma once
// The record of runs (--record FILE, or KESTREL_RECORD): one JSON object a
// line, appended for every script run, windowed or unattended. A line is
// written whole and flushed to the disk; one that cannot be (a full disk) is
// taken back, so the file always holds whole lines. A FIFO gets the line
// whole too, from a reader that may open late or read slowly, within a
// bounded wait. A failing write is reported once and never stops a run.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "loader/core/RunOutcome.h"

namespace kestrel {

// Window thread only.
class TRunRecorder {
 public:
  using TReport = std::function<void(const std::string& text)>;
  // `report` hears of the first failing write; by default it goes to stderr.
  explicit TRunRecorder(std::string path, TReport report = {});

  const std::string& Path() const { return FPath; }

  // A run begins: everything gathered for the previous one is dropped.
  void Start();
  bool Running() const { return FRunning; }

  void Script(const std::string& name) { FScript = name; }
  // The run's number among a station's runs (from 1); 0 leaves it out.
  void RunNumber(int number) { FRunNumber = number; }
  struct TPort {
    int ComNumber = 0;
    std::string Path;  // empty: no port open
    long Baud = 0;
    int DataBits = 0;
    std::string Parity;
    int StopBits = 0;
  };
  void Port(const TPort& port) { FPort = port; }
  const TPort& Port() const { return FPort; }

  // Every non-blank status text; the last one is the run's status.
  void Status(const std::string& text);
  // A message box (`note` false, an error) or a script's note.
  void Message(const std::string& text, bool note = false);

  // Ends the run and appends its line: `run` tells what became of every
  // file the script named and how the run ended, `exitCode` the exit status
  // it has (or would have, unattended).
  void Finish(const TRunOutcome& run, int exitCode);

  // The line Finish writes, without its line feed.
  std::string Line(const TRunOutcome& run, int exitCode) const;

  // Whether the record file can be appended to now; `why` says why not.
  bool CanAppend(std::string& why) const;

 private:
  struct TMessage {
    std::string Text;
    bool Note = false;
  };

  void Append(const std::string& line);

  std::string FPath;
  TReport FReport;
  bool FReported = false;
  bool FRunning = false;
  std::chrono::system_clock::time_point FStart;
  std::string FScript;
  int FRunNumber = 0;
  TPort FPort;
  std::string FStatus;
  std::vector<TMessage> FMessages;
};

// How `run` ended, in the record's words: "no unit", "cannot open",
// "stopped", "finished" or "interrupted".
const char* run_end_text(TRunEnd end);

// `text` as a JSON string, quotes included. Valid UTF-8 stays as it is; a
// byte that is not part of it is written as its own code point.
std::string json_string(const std::string& text);

}  // namespace kestrel
