#include "RunRecord.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

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

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (u < 0x20 || u == 0x7F || u >= 0x80) {
          // Bytes outside ASCII are not taken for UTF-8: each is its own
          // code point, so the line stays valid JSON whatever a file name holds.
          char esc[8];
          std::snprintf(esc, sizeof esc, "\\u%04x", unsigned(u));
          out += esc;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
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
  FPort = {};
  FStatus.clear();
  FErrors = 0;
  FUploads.clear();
  FMessages.clear();
}

void TRunRecorder::Status(const std::string& text) {
  if (text.find_first_not_of(' ') != std::string::npos) FStatus = text;
}

void TRunRecorder::Message(const std::string& text, bool note) {
  if (!FRunning) return;
  FMessages.push_back({text, note});
  if (!note) ++FErrors;
}

void TRunRecorder::UploadStarted(const std::string& file, uint32_t size, uint32_t checksum,
                                 const std::string& address, const std::string& version) {
  if (!FRunning) return;
  TUpload upload;
  upload.File = file;
  upload.Size = size;
  upload.Checksum = checksum;
  upload.Address = address;
  upload.Version = version;
  upload.Began = std::chrono::steady_clock::now();
  FUploads.push_back(upload);
}

void TRunRecorder::UploadSent() {
  if (FUploads.empty() || FUploads.back().WasSent) return;
  FUploads.back().Sent = std::chrono::steady_clock::now();
  FUploads.back().WasSent = true;
}

void TRunRecorder::UploadEnded(const std::string& result) {
  if (FUploads.empty() || !FUploads.back().Result.empty()) return;
  UploadSent();
  FUploads.back().Result = result;
}

std::string TRunRecorder::Line(const std::string& outcome, int exitCode) const {
  std::string line =
      "{\"start\":" + json_string(utc_text(FStart)) +
      ",\"end\":" + json_string(utc_text(std::chrono::system_clock::now())) +
      ",\"script\":" + json_string(FScript) + ",\"com\":" + std::to_string(FPort.ComNumber) +
      ",\"port\":" + json_string(FPort.Path) + ",\"baud\":" + std::to_string(FPort.Baud) +
      ",\"data_bits\":" + std::to_string(FPort.DataBits) +
      ",\"parity\":" + json_string(FPort.Parity) +
      ",\"stop_bits\":" + std::to_string(FPort.StopBits) + ",\"uploads\":[";
  for (size_t i = 0; i < FUploads.size(); ++i) {
    const TUpload& u = FUploads[i];
    const double seconds = std::chrono::duration<double>(u.Sent - u.Began).count();
    char checksum[16];
    std::snprintf(checksum, sizeof checksum, "%x", unsigned(u.Checksum));
    line += std::string(i ? "," : "") + "{\"file\":" + json_string(u.File) +
            ",\"size\":" + std::to_string(u.Size) + ",\"checksum\":" + json_string(checksum) +
            ",\"address\":" + json_string(u.Address) + ",\"version\":" + json_string(u.Version) +
            ",\"result\":" + json_string(u.Result.empty() ? "failed" : u.Result) +
            ",\"seconds\":" + number(seconds) + ",\"bytes_per_second\":" +
            number(u.Result == "ok" && seconds > 0 ? u.Size / seconds : 0) + "}";
  }
  line += "],\"messages\":[";
  for (size_t i = 0; i < FMessages.size(); ++i)
    line += std::string(i ? "," : "") +
            "{\"kind\":" + json_string(FMessages[i].Note ? "note" : "message") +
            ",\"text\":" + json_string(FMessages[i].Text) + "}";
  line += "],\"status\":" + json_string(FStatus) + ",\"outcome\":" + json_string(outcome) +
          ",\"exit_code\":" + std::to_string(exitCode) + "}";
  return line;
}

void TRunRecorder::Finish(const std::string& outcome, int exitCode) {
  if (!FRunning) return;
  FRunning = false;
  Append(Line(outcome, exitCode) + "\n");
}

void TRunRecorder::Append(const std::string& line) {
  int error = 0;
  const int fd = ::open(FPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = errno;
  } else {
    // One write of the whole line: appended lines of stations that share
    // the file never interleave.
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
  FReport("cannot write the run record to " + FPath + ": " + std::strerror(error));
}

}  // namespace kestrel
