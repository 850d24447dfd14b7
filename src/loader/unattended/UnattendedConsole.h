#pragma once
// What an unattended run tells its caller, on stderr: status-bar texts and
// messages as they happen, and upload progress, as one line redrawn in place
// on a terminal and as one line per tenth of the file otherwise. Window
// thread only.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace kestrel {

class TUnattendedConsole {
 public:
  // `terminal`: whether `out` is a terminal (the bar is drawn in place).
  TUnattendedConsole(std::FILE* out, bool terminal);

  // A status-bar text; a blank one is not written.
  void Status(const std::string& text);
  // Why the run cannot start or was ended from outside.
  void Fatal(const std::string& text);
  // Why a run failed, right above its verdict.
  void Cause(const std::string& text);
  // The last line: the verdict, files loaded of files named, bytes and time.
  void Summary(const class TRunOutcome& run, int exitStatus);
  // A run begins: the summary's time counts from here.
  void RunBegins() { FStart = std::chrono::steady_clock::now(); }
  // What the station is doing between runs.
  void Station(const std::string& text);
  // A station's verdict on one unit, on a line of its own that stands out
  // on a terminal: "PASS unit 3: ..." or "FAIL unit 3: ...".
  void Verdict(bool pass, int unit, const std::string& text);
  // A message box's text; its carriage returns start new lines.
  void Message(const std::string& text);
  // A message a script shows for information.
  void Note(const std::string& text);
  // Bytes the unit sent: each line it ends is written as `unit: TEXT`,
  // control bytes as \xNN, cut at 200 characters.
  void UnitBytes(const char* bytes, size_t count);
  // A prompt wait ended without its prompt.
  void PromptMissed(char prompt, int comNumber, int attempt, int attempts);
  // An upload's first block is about to go out.
  void UploadBegins();
  // `sent` of the `total` bytes of `file` have been handed to the port.
  void Progress(const std::string& file, uint64_t sent, uint64_t total);

 private:
  void line(const char* kind, const std::string& text);
  void end_bar();

  std::FILE* FOut;
  bool FTerminal;
  std::string FUnitLine;  // the unit's line so far, as shown
  size_t FUnitLineBytes = 0;
  std::chrono::steady_clock::time_point FStart = std::chrono::steady_clock::now();
  bool FBarShown = false;
  // The upload being shown: when it began and the last tenth written.
  std::chrono::steady_clock::time_point FUploadBegan;
  int FTenthShown = -1;
};

}  // namespace kestrel
