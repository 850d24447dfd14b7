#include "loader/core/RunRecord.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace kestrel {

namespace {

std::string utc_text(std::chrono::system_clock::time_point at) {
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
  const time_t seconds = time_t(ms / 1000);
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, int(ms % 1000));
  return text;
}

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", value);
  return text;
}

}  // namespace

// The length of the UTF-8 sequence that starts at `at`, or 0 when the bytes
// there are not one (overlong forms, surrogates and code points past
// U+10FFFF included).
size_t utf8_sequence_length(const std::string& text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  size_t length;
  unsigned char low = 0x80, high = 0xBF;  // the allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  return length;
}

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\t':
        out += "\\t";
        continue;
      default:
        break;
    }
    if (u >= 0x80) {
      if (const size_t length = utf8_sequence_length(text, i)) {
        out.append(text, i, length);
        i += length - 1;
        continue;
      }
    }
    if (u < 0x20 || u == 0x7F || u >= 0x80) {
      // A byte that is not text stays valid JSON as its own code point.
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", unsigned(u));
      out += esc;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

const char* run_end_text(TRunEnd end) {
  switch (end) {
    case TRunEnd::NotRun:
      return "no unit";
    case TRunEnd::CannotOpen:
      return "cannot open";
    case TRunEnd::Stopped:
      return "stopped";
    case TRunEnd::Finished:
      return "finished";
    case TRunEnd::Interrupted:
      return "interrupted";
  }
  return "stopped";
}

TRunRecorder::TRunRecorder(std::string path, TReport report)
    : FPath(std::move(path)), FReport(std::move(report)) {
  if (!FReport)
    FReport = [](const std::string& text) { std::fprintf(stderr, "kestrel: %s\n", text.c_str()); };
}

void TRunRecorder::Start() {
  FRunning = true;
  FStart = std::chrono::system_clock::now();
  FScript.clear();
  FRunNumber = 0;
  FPort = {};
  FStatus.clear();
  FMessages.clear();
}

void TRunRecorder::Status(const std::string& text) {
  if (text.find_first_not_of(' ') != std::string::npos) FStatus = text;
}

void TRunRecorder::Message(const std::string& text, bool note) {
  if (!FRunning) return;
  FMessages.push_back({text, note});
}

std::string TRunRecorder::Line(const TRunOutcome& run, int exitCode) const {
  std::string line =
      "{\"start\":" + json_string(utc_text(FStart)) +
      ",\"end\":" + json_string(utc_text(std::chrono::system_clock::now())) +
      ",\"script\":" + json_string(FScript) + ",\"com\":" + std::to_string(FPort.ComNumber) +
      ",\"port\":" + json_string(FPort.Path) + ",\"baud\":" + std::to_string(FPort.Baud) +
      ",\"data_bits\":" + std::to_string(FPort.DataBits) +
      ",\"parity\":" + json_string(FPort.Parity) +
      ",\"stop_bits\":" + std::to_string(FPort.StopBits) + ",\"uploads\":[";
  // One entry for every file the script named, sent or not.
  const std::vector<TNamedFile>& files = run.Files();
  for (size_t i = 0; i < files.size(); ++i) {
    const TNamedFile& u = files[i];
    const bool ok = u.Result == TFileResult::Ok;
    const double seconds = u.Seconds();
    char checksum[16] = "";
    if (u.Announced) std::snprintf(checksum, sizeof checksum, "%x", unsigned(u.Checksum));
    line += std::string(i ? "," : "") + "{\"file\":" + json_string(u.File) +
            ",\"size\":" + std::to_string(u.Size) + ",\"checksum\":" + json_string(checksum) +
            ",\"address\":" + json_string(u.Address) + ",\"version\":" + json_string(u.Version) +
            ",\"result\":" + json_string(file_result_text(u.Result)) +
            ",\"message\":" + json_string(u.Message) + ",\"seconds\":" + number(seconds) +
            ",\"bytes_per_second\":" + number(ok && seconds > 0 ? u.Size / seconds : 0) + "}";
  }
  line += "],\"messages\":[";
  for (size_t i = 0; i < FMessages.size(); ++i)
    line += std::string(i ? "," : "") +
            "{\"kind\":" + json_string(FMessages[i].Note ? "note" : "message") +
            ",\"text\":" + json_string(FMessages[i].Text) + "}";
  line += "],\"status\":" + json_string(FStatus) +
          ",\"files_named\":" + std::to_string(files.size()) +
          ",\"files_loaded\":" + std::to_string(run.FilesLoaded());
  if (FRunNumber > 0) line += ",\"run\":" + std::to_string(FRunNumber);
  line += ",\"outcome\":" + json_string(run_end_text(run.End())) +
          ",\"exit_code\":" + std::to_string(exitCode) + "}";
  return line;
}

void TRunRecorder::Finish(const TRunOutcome& run, int exitCode) {
  if (!FRunning) return;
  FRunning = false;
  Append(Line(run, exitCode) + "\n");
}

namespace {

// Opened for appending without ever blocking: a FIFO nobody reads fails
// (ENXIO) instead of holding the run; a folder or a device is no record.
int open_for_append(const std::string& path, int& error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = errno;
    return -1;
  }
  struct stat info {};
  if (::fstat(fd, &info) == 0 && (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode))) {
    ::close(fd);
    error = ENOTSUP;
    return -1;
  }
  return fd;
}

}  // namespace

bool TRunRecorder::CanAppend(std::string& why) const {
  int error = 0;
  const int fd = open_for_append(FPath, error);
  if (fd < 0) {
    why = error == ENOTSUP ? "it is a device, not a file" : std::strerror(error);
    return false;
  }
  ::close(fd);
  return true;
}

void TRunRecorder::Append(const std::string& line) {
  int error = 0;
  const int fd = open_for_append(FPath, error);
  if (fd >= 0) {
    // One write of the whole line: appended lines of stations that share
    // the file never interleave.
    // A pipe that is read takes the line whole; one that is full would
    // block, and counts as failing.
    ssize_t written;
    do {
      written = ::write(fd, line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    if (written < 0)
      error = errno;
    else if (size_t(written) != line.size())
      error = ENOSPC;
    else if (::fdatasync(fd) != 0 && errno != EINVAL && errno != EROFS)
      error = errno;
    if (::close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
  }
  if (error == 0 || FReported) return;
  FReported = true;
  FReport("cannot write the run record to " + FPath + ": " +
          (error == ENOTSUP ? std::string("it is a device, not a file") : std::strerror(error)));
}

}  // namespace kestrel
