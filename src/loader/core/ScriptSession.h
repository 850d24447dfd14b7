#pragma once
// What the script runner keeps between its command lines, and from one run
// to the next: the script it reads, the command line table, the texts it
// hands to the unit and takes from it, the pause after an upload, and the
// outcome of the run.

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "loader/core/RunOutcome.h"
#include "loader/core/ScriptReader.h"

namespace kestrel {

// n times `factor` milliseconds, kept within what a wait can take.
int script_milliseconds(long n, long factor);

// Window thread only.
class TScriptSession {
 public:
  static constexpr int kDefaultPostUploadPause = 3600;  // milliseconds
  static constexpr int kLastResponseSize = 1000;

  // The command line table: every command line run takes the next slot,
  // one run through _CE or _CS one more. Longer lines are cut at
  // kScriptMaxCommandLine; past the last slot the last one is reused.
  void ClearLines();
  // `text` becomes the command line of the current slot.
  void Store(std::string_view text);
  // A command line read from the script: its number and whole length are
  // kept with it.
  void Store(const TScriptCommandLine& line);
  // Whether the command line read last was longer than a slot takes.
  bool LineCut() const { return LineLength > size_t(kScriptMaxCommandLine); }
  // The current slot's command line, up to its fill position (or a NUL
  // byte in it); nothing when the slot holds no command.
  std::optional<std::string> CurrentLine();
  // The next command line takes the next slot.
  void Advance();

  // _LP: a pause of `seconds` after each upload; 0 leaves it as it is.
  void LoadPause(long seconds);
  // _QC: the answer without its line ends.
  void TakeResponse(std::string_view captured);

  // The script read_ini opens.
  std::string ScriptFileName;
  std::array<std::array<char, kScriptSlotSize>, kScriptSlotCount> Lines{};
  int CurrentSlot = 0;
  int LineFill = 0;
  // The script line the command line read last came from, and its length.
  int LineNumber = 0;
  size_t LineLength = 0;
  // The answer of the last _QC.
  std::string LastResponse;
  int PostUploadPause = kDefaultPostUploadPause;
  // From its start until it returns by any path.
  bool UploadInProgress = false;
  // What the last (or current) run did with every file it named, how it
  // ended, and whether it succeeded: the one verdict the status line, the
  // exit status and the record share.
  TRunOutcome Outcome;
};

}  // namespace kestrel
