#pragma once
// Opening the files a script names. Only a regular file is a file here: a
// folder, a FIFO or a device named as a script, an upload file or a settings
// file is refused at once, since reading it would block the run or never end.

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

namespace kestrel {

struct TFileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using TFilePtr = std::unique_ptr<std::FILE, TFileCloser>;

// The regular file opened for reading (bytes as they are), or null when it
// cannot be opened; `why`, when given, then says why in an operator's words
// ("no such file", "permission denied", "a folder, not a file", ...).
TFilePtr open_file_for_read(const std::string& name, std::string* why = nullptr);

// The open file's last-modification time in local time, seconds rounded
// down to an even number as the stored date-time stamps have them.
std::optional<std::tm> file_local_modification_time(std::FILE* file);

// The size of the open file now, or nothing when it cannot be told.
std::optional<uint64_t> open_file_size(std::FILE* file);

// What an upload announces of a file: its size and the 16-bit sum of its
// bytes. The upload line carries the size in 32 bits, so a file of 4 GiB or
// more has none.
inline constexpr uint64_t kMaxUploadSize = 0xFFFFFFFFull;
struct TFileSum {
  uint32_t Size = 0;
  uint32_t Checksum = 0;
};
// Nothing when the file cannot be opened or read to its end, or is too
// large; `why`, when given, then says which.
std::optional<TFileSum> file_size_and_checksum(const std::string& name, std::string* why = nullptr);

// A script's file name as the run opens it: a relative name is taken from
// the script's own folder, which is where the script's author put the files.
std::string script_file_path(const std::string& scriptName, const std::string& fileName);

}  // namespace kestrel
