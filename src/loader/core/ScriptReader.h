#pragma once
// Reading a script file into its command lines, as the script runner and
// the script check both do. A line ends at a line feed; a carriage return
// right before it is not part of the line. On each line the first "_" or ";"
// decides: ";" (or neither) makes the line a comment, "_" starts a command
// line that runs from there to the end of the line.

#include <cstddef>
#include <optional>
#include <string>

#include "loader/core/ScriptFiles.h"

namespace kestrel {

// The sizes of the runner's fields. Longer text is cut to them.
inline constexpr int kScriptSlotCount = 300;
inline constexpr int kScriptSlotSize = 210;
inline constexpr int kScriptMaxCommandLine = 199;
inline constexpr int kScriptCommandBufferSize = 404;
inline constexpr int kScriptUploadFileNameSize = 300;
inline constexpr int kScriptLoadAddressSize = 50;
inline constexpr int kScriptVersionTextSize = 90;

struct TScriptCommandLine {
  std::string Text;    // at most kScriptMaxCommandLine characters, from the "_" on
  size_t Length = 0;   // the whole command line's length, before any cut
  int LineNumber = 0;  // counted from 1
};

// Why a command line of `length` characters cannot run as written: "the
// line is 203 characters long, more than the 199 a script line holds".
// Empty when it fits.
std::string script_line_too_long(size_t length);

class TScriptReader {
 public:
  explicit TScriptReader(const std::string& name);

  bool IsOpen() const { return FFile != nullptr; }
  // Whether a carriage return came without a line feed after it.
  bool SawBareCarriageReturn() const { return FBareCarriageReturn; }
  // Why the script could not be opened.
  const std::string& OpenError() const { return FOpenError; }
  // The next command line; nothing at the end of the file (or on a read
  // error). A command line still open at the end of the file is returned
  // whole.
  std::optional<TScriptCommandLine> Next();

 private:
  int NextChar();

  std::string FOpenError;
  bool FBareCarriageReturn = false;
  TFilePtr FFile;
  int FLine = 1;
};

// How many files the script `name` names with _LF, counted ahead of a run.
int script_files_named(const std::string& name);

}  // namespace kestrel
