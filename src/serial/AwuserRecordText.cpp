#include "serial/AwuserRecordText.h"

#include <cerrno>
#include <cstring>

#include "messages/AdErrorCodes.h"

namespace kestrel {

int ApdFileResult(int err) {
  switch (err) {
    case 0:
      return 0;
    case ENOENT:
    case ENOTDIR:
      return ecPathNotFound;
    case EMFILE:
    case ENFILE:
      return ecTooManyFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return ecAccessDenied;
    case ENOMEM:
      return ecOutOfMemory;
    case ENOSPC:
    case EDQUOT:
      return ecDiskFull;
    default:
      return -err;
  }
}

namespace {

// The file exists and its last byte is not a line end.
bool EndsInsideALine(const std::string& name) {
  std::FILE* f = std::fopen(name.c_str(), "rbe");
  if (!f) return false;
  bool inside = false;
  if (std::fseek(f, -1, SEEK_END) == 0) {
    const int last = std::fgetc(f);
    inside = last != EOF && last != '\n';
  }
  std::fclose(f);
  return inside;
}

}  // namespace

TApdRecordFile::TApdRecordFile(const std::string& name, bool append) {
  // What is appended starts on a line of its own: a trace ends without a
  // line end, and its successor's first heading would join its last line.
  const bool newLine = append && EndsInsideALine(name);
  File_ = std::fopen(name.c_str(), append ? "ae" : "we");
  if (!File_) OpenResult_ = ApdFileResult(errno != 0 ? errno : EIO);
  if (newLine) Put('\n');
}

TApdRecordFile::~TApdRecordFile() {
  Close();
}

void TApdRecordFile::Write(const char* text, size_t length) {
  if (!File_ || WriteError_ != 0 || length == 0) return;
  if (std::fwrite(text, 1, length, File_) != length) WriteError_ = errno != 0 ? errno : EIO;
}

int TApdRecordFile::Close() {
  if (!File_) return 0;
  if (std::fclose(File_) != 0 && WriteError_ == 0) WriteError_ = errno != 0 ? errno : EIO;
  File_ = nullptr;
  return ApdFileResult(WriteError_);
}

void TApdByteColumns::Item(const char* text, size_t length, int width) {
  Column_ += width;
  if (Column_ > LastColumn) {
    File_.Put('\n');
    for (int i = 0; i < Indent_; ++i) File_.Put(' ');
    Column_ = width;
  }
  File_.Write(text, length);
}

void TApdByteColumns::Byte(uint8_t byte, bool hex, bool allHex) {
  char text[8];
  const int lowest = hex ? 33 : 32;
  if (!allHex && byte >= lowest && byte <= 126) {
    Plain(byte);
  } else if (allHex || hex) {
    const int n = std::snprintf(text, sizeof text, "[%02X]", byte);
    Item(text, size_t(n), 4);
  } else {
    const int n = std::snprintf(text, sizeof text, "[%u]", byte);
    Item(text, size_t(n), n);
  }
}

void TApdByteColumns::Plain(uint8_t byte) {
  const char c = static_cast<char>(byte);
  Item(&c, 1, 1);
}

}  // namespace kestrel
