#pragma once
// Settings of the simulated unit, shared by the in-process "sim:" binding and
// the stand-alone pseudo-terminal tool.
//
// Both spell an option the same way: `key=value` or a bare `flag`. The device
// string joins them with ';' ("sim:loader=>;flash-ms=5;dir=unit-flash"), the
// tool takes them as arguments ("--loader=>", "--flood"). Values understand
// the escapes \r, \n, \t, \\, \; and \xHH, so "loader-cmd=LOADR\r" can be
// written inside a single shell word.
//
// Thread contract: plain values; parse on one thread, then copy freely.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace kestrel {

struct TUnitOptions {
  // Texts of the console.
  std::string NormalPrompt = "#";
  std::string LoaderPrompt = ">";
  std::string LoaderCommand = "LOADR\r";  // matched as one line; a trailing CR is optional
  std::string UploadCommand = "LF";
  // Query word -> answer line (the loader wants at least ten bytes before the
  // prompt). "LAST" is answered by the unit itself unless configured here.
  std::map<std::string, std::string> Queries = {
      {"VER", "KESTREL SIMULATED UNIT 1.0"},
      {"ID", "SIMUNIT SERIAL 0001"},
  };

  // Flash behaviour.
  int FlashMs = 20;              // CTS held low while each block is written
  int FlashBlock = 2000;         // bytes per flash write
  int64_t FlashSize = 16 << 20;  // largest image the unit takes
  int DataTimeoutMs = 3000;      // silence that ends a short upload

  // Wire rate used for pacing and flooding.
  int Baud = 9600;
  int BitsPerByte = 10;

  // Fault switches.
  bool Silent = false;        // takes everything, says nothing
  bool NoLoaderMode = false;  // the loader-mode command gets the normal prompt
  bool CtsStuck = false;      // hangs in its first flash write: CTS stays low
  bool Flood = false;         // sends garbage continuously at the wire rate
  int64_t DropoutAfter = -1;  // goes silent after this many data bytes (-1: never)
  int64_t CorruptAt = -1;     // inverts this data byte (1 = first) of every upload
  bool NoAnswer = false;      // queries get only the prompt
  // Answers every upload line with this line and its prompt, and takes what
  // follows as commands (empty: takes the upload); leaves loader mode then
  // when RefuseLeaves.
  std::string RefuseUpload;
  bool RefuseLeaves = false;
  // After the data, rejects every image with this line in place of its own
  // result, and leaves loader mode (empty: judges the image itself).
  std::string Reject;
  bool Pace = false;  // every byte it sends takes its wire time
  // Behind sim: only, the cable's port end is pulled out once the port has
  // sent this many bytes (-1: never).
  int64_t UnplugAfter = -1;

  // Files, written only when named.
  std::string Dir;         // images as <Dir>/<address>.bin
  std::string Record;      // upload records; defaults to <Dir>/uploads.jsonl
  std::string Transcript;  // every byte in and out
};

// Applies one option; false with a message in `error` when the key is unknown
// or the value does not fit. A flag given without a value is switched on.
bool SetUnitOption(TUnitOptions& options, std::string_view key, std::string_view value,
                   bool hasValue, std::string& error);

// Parses "key=value;flag;..." (the part of a device string after "sim:").
bool ParseUnitOptions(std::string_view text, TUnitOptions& options, std::string& error);

// Undoes the value escapes (\r \n \t \\ \; \xHH); other backslashes stay.
std::string UnescapeUnitValue(std::string_view value);

// The option list for --help and the README.
const char* UnitOptionsHelp();

}  // namespace kestrel
