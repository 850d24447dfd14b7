#pragma once
// What an unattended run tells its caller, on stderr: status-bar texts and
// messages as they happen, and upload progress, as a bar redrawn in place on
// a terminal and as one line per block otherwise. Window thread only.

#include <cstdio>
#include <string>

namespace kestrel {

class TUnattendedConsole {
 public:
  // `terminal`: whether `out` is a terminal (the bar is drawn in place).
  TUnattendedConsole(std::FILE* out, bool terminal);

  void Status(const std::string& text);
  // A message box's text; its carriage returns start new lines.
  void Message(const std::string& text);
  // A message a script shows for information.
  void Note(const std::string& text);
  // `done` of `total` blocks of `file` have been handed to the port.
  void Progress(const std::string& file, int done, int total);

 private:
  void line(const char* kind, const std::string& text);
  void end_bar();

  std::FILE* FOut;
  bool FTerminal;
  bool FBarShown = false;
};

}  // namespace kestrel
