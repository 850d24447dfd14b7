#include "loader/core/ScriptFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace kestrel {

namespace {

std::string open_error_text(int error) {
  switch (error) {
    case ENOENT:
      return "no such file";
    case EACCES:
    case EPERM:
      return "permission denied";
    case ENOTDIR:
      return "a folder on its path is not a folder";
    default:
      return std::strerror(error);
  }
}

std::string kind_text(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder, not a file";
  if (S_ISFIFO(mode)) return "a pipe (FIFO), not a file";
  if (S_ISSOCK(mode)) return "a socket, not a file";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device, not a file";
  return "not a regular file";
}

}  // namespace

TFilePtr open_file_for_read(const std::string& name, std::string* why) {
  std::string reason;
  // Non-blocking, so that a FIFO without a writer cannot hold the open.
  const int fd = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0) {
    reason = open_error_text(errno);
  } else if (::fstat(fd, &st) != 0) {
    reason = open_error_text(errno);
  } else if (!S_ISREG(st.st_mode)) {
    reason = kind_text(st.st_mode);
  } else if (TFilePtr file{::fdopen(fd, "rb")}) {
    return file;
  } else {
    reason = open_error_text(errno);
  }
  if (fd >= 0) ::close(fd);
  if (why) *why = reason;
  return nullptr;
}

std::optional<std::tm> file_local_modification_time(std::FILE* file) {
  struct stat st {};
  if (::fstat(::fileno(file), &st) != 0) return std::nullopt;
  const time_t stamp = st.st_mtime - (st.st_mtime & 1);
  std::tm local{};
  if (!::localtime_r(&stamp, &local)) return std::nullopt;
  return local;
}

std::optional<uint64_t> open_file_size(std::FILE* file) {
  struct stat st {};
  if (::fstat(::fileno(file), &st) != 0 || st.st_size < 0) return std::nullopt;
  return uint64_t(st.st_size);
}

std::optional<TFileSum> file_size_and_checksum(const std::string& name, std::string* why) {
  const auto fail = [why](const std::string& reason) {
    if (why) *why = reason;
    return std::nullopt;
  };
  std::string reason;
  const TFilePtr file = open_file_for_read(name, &reason);
  if (!file) return fail(reason);
  // A size the upload line cannot carry is refused before reading a byte.
  if (const std::optional<uint64_t> size = open_file_size(file.get());
      size && *size > kMaxUploadSize)
    return fail(std::to_string(*size) + " bytes, more than an upload can announce (" +
                std::to_string(kMaxUploadSize) + ")");
  uint32_t sum = 0;
  uint64_t count = 0;
  uint8_t chunk[1 << 16];
  for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0;) {
    for (size_t i = 0; i < got; ++i) sum += chunk[i];
    count += got;
    if (count > kMaxUploadSize)
      return fail("more than " + std::to_string(kMaxUploadSize) +
                  " bytes, more than an upload can announce");
  }
  // A read that failed is not the end of the file: its sum would be wrong.
  if (std::ferror(file.get())) return fail("read error: " + std::string(std::strerror(errno)));
  return TFileSum{uint32_t(count), sum & 0xFFFF};
}

std::string script_file_path(const std::string& scriptName, const std::string& fileName) {
  namespace fs = std::filesystem;
  if (fileName.empty()) return fileName;
  std::error_code ec;
  fs::path path(fileName);
  if (path.is_relative()) {
    const fs::path script = fs::absolute(fs::path(scriptName), ec);
    path = (ec ? fs::path(scriptName) : script).parent_path() / path;
  }
  return path.lexically_normal().string();
}

}  // namespace kestrel
