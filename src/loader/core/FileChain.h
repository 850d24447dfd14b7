#pragma once
// The upload chain of a script: _LF names a file, _LA gives its load address
// and takes its size and checksum, _LV gives its version, and only then may
// _LD build the upload line that announces the file to the unit. Each step
// needs the one before it to have succeeded and uses up that success, so a
// section runs once; a new _LF drops whatever the chain held for an earlier
// file. The runner and the script check both walk this one chain; each says
// in its own words what a step did.

#include <cstdint>
#include <string>
#include <string_view>

#include "loader/core/ScriptFiles.h"

namespace kestrel {

// Whether `command` is a step of the chain: _LF, _LA, _LV or _LD.
bool is_upload_section_command(std::string_view command);

// What a step did with its line.
enum class TChainResult {
  Done,        // the step took its argument; the next step may follow
  NotReady,    // the step before it has not succeeded: the line does nothing
  NoArgument,  // the line lacks the blank before its argument: it does nothing
  // _LF: the file does not open. _LA: no size and checksum. _LV: the file
  // does not open for its date, so the version stays DATE (the chain goes
  // on). _LD: the upload line would be misread, and is not built.
  Failed,
  // The line or its argument is longer than its field: the line does
  // nothing, since a cut name, address or version is another one, and the
  // section's file is not loaded.
  TooLong,
};

struct TChainStep {
  TChainResult Result = TChainResult::NotReady;
  std::string Argument;  // the line's word, before it is cut to its field
  std::string Why;       // why it failed, in an operator's words
};

// Window thread only (or the check's own thread).
class TFileChain {
 public:
  // _LF: a relative name is taken from the script's folder.
  TChainStep NameFile(const std::string& scriptName, std::string_view line);
  // _LA
  TChainStep SetAddress(std::string_view line);
  // _LV: the version is upper-cased; "DATE" becomes the file's date.
  TChainStep SetVersion(std::string_view line);
  // A line of the section (_LF, _LA, _LV or _LD) longer than a script line
  // holds: it never runs cut. An _LF still names its file, as far as the
  // line goes, so that the file can be reported as not loaded.
  TChainStep CutLine(const std::string& scriptName, std::string_view line, size_t length);
  // _LD: whether the upload line may be built for the file the chain holds
  // with `uploadCommand` as its command word.
  TChainStep Announce(const std::string& uploadCommand);

  // The upload line for the chain's file, cut to `limit`.
  std::string UploadLine(const std::string& uploadCommand, size_t limit) const;
  // The size and checksum of the named file; false (and `why`) when it does
  // not open or read to its end.
  bool TakeChecksum(std::string* why = nullptr);
  // The version becomes the named file's date. False (and `why`) when the
  // file does not open; a date that cannot be read leaves the version as it
  // is.
  bool TakeFileDate(std::string* why = nullptr);
  // The file opened for its upload, as long as it is still the size its
  // checksum was taken at: the line announced it so.
  TFilePtr HoldFile(std::string* why) const;
  // Every step must start again from _LF.
  void Drop() { FFileNamed = FAddressSet = FVersionSet = false; }

  bool FileNamed() const { return FFileNamed; }
  bool AddressSet() const { return FAddressSet; }
  bool VersionSet() const { return FVersionSet; }

  // What the next upload announces and sends: the file found from the
  // script's folder, and its name as the script wrote it.
  std::string FileName;
  std::string NameAsWritten;
  std::string Address;
  std::string Version;
  uint32_t Size = 0;
  uint32_t Checksum = 0;

 private:
  bool FFileNamed = false;
  bool FAddressSet = false;
  bool FVersionSet = false;
};

}  // namespace kestrel
