#pragma once
// Opening the files a script names. A folder is not a file: it cannot be
// opened for reading here, as it cannot on the systems the scripts come from.

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

// The file opened for reading (bytes as they are), or null when it cannot
// be opened.
TFilePtr open_file_for_read(const std::string& name);

// The open file's last-modification time in local time, seconds rounded
// down to an even number as the stored date-time stamps have them.
std::optional<std::tm> file_local_modification_time(std::FILE* file);

// What an upload announces of a file: its size and the 16-bit sum of its
// bytes. Nothing when the file cannot be opened.
struct TFileSum {
  uint32_t Size = 0;
  uint32_t Checksum = 0;
};
std::optional<TFileSum> file_size_and_checksum(const std::string& name);

}  // namespace kestrel
