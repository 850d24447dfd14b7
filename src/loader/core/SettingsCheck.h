#pragma once
// Checking a settings file's reminder words (kestrel --check). The file is
// positional and its words are free: files from elsewhere carry their own.
// What the words can still show is a shift: a line inserted or removed moves
// every line after it, and then a line holds the example file's word for
// another line.

#include <optional>
#include <ostream>
#include <string>

namespace kestrel {

class TSettingsLabelCheck {
 public:
  // `file` names the settings file in what is written to `out`.
  TSettingsLabelCheck(std::string file, std::ostream& out) : FFile(std::move(file)), FOut(out) {}

  // Counted line `number`, line `fileLine` of the file, with its reminder
  // word and its value (nothing without an "=").
  void Line(int number, int fileLine, const std::string& label,
            const std::optional<std::string>& value);
  // Writes the one note about words of the file's own, if any; returns the
  // number of shifts reported.
  int Finish();

 private:
  const std::string FFile;
  std::ostream& FOut;
  int FShifts = 0;
  int FOffset = 0;    // of the shift reported last; a line in its place ends it
  int FOwnWords = 0;  // labels the example file does not have
  int FFirstOwnWord = 0;
};

}  // namespace kestrel
