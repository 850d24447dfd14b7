#include "ScriptFiles.h"

#include <sys/stat.h>

namespace kestrel {

TFilePtr open_file_for_read(const std::string& name) {
  TFilePtr file(std::fopen(name.c_str(), "rb"));
  if (!file) return nullptr;
  struct stat st {};
  if (::fstat(::fileno(file.get()), &st) != 0 || S_ISDIR(st.st_mode)) return nullptr;
  return file;
}

std::optional<std::tm> file_local_modification_time(std::FILE* file) {
  struct stat st {};
  if (::fstat(::fileno(file), &st) != 0) return std::nullopt;
  const time_t stamp = st.st_mtime - (st.st_mtime & 1);
  std::tm local{};
  if (!::localtime_r(&stamp, &local)) return std::nullopt;
  return local;
}

std::optional<TFileSum> file_size_and_checksum(const std::string& name) {
  const TFilePtr file(std::fopen(name.c_str(), "rb"));
  if (!file) return std::nullopt;
  uint32_t sum = 0;
  uint32_t count = 0;
  uint8_t chunk[1 << 16];
  for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0;) {
    for (size_t i = 0; i < got; ++i) sum += chunk[i];
    count += uint32_t(got);
  }
  return TFileSum{count, sum & 0xFFFF};
}

}  // namespace kestrel
