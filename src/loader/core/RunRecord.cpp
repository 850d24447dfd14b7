#include "loader/core/RunRecord.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>
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
          ",\"files_named\":" + std::to_string(run.FilesNamed()) +
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

// How long a FIFO record waits for a reader to open it, and for a slow
// reader to take more of a line.
constexpr auto kFifoReaderWait = std::chrono::seconds(3);

class TFdCloser {
 public:
  explicit TFdCloser(int fd) : FFd(fd) {}
  ~TFdCloser() {
    if (FFd >= 0) ::close(FFd);
  }
  TFdCloser(const TFdCloser&) = delete;
  TFdCloser& operator=(const TFdCloser&) = delete;

 private:
  int FFd;
};

// A reader that has gone away makes a write fail with EPIPE, not end the
// process: SIGPIPE is held back in this thread while a FIFO is written, and
// one it raised is taken before it is let through again.
class TPipeSignalHeld {
 public:
  TPipeSignalHeld() {
    sigemptyset(&FPipe);
    sigaddset(&FPipe, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &FPipe, &FPrevious);
  }
  ~TPipeSignalHeld() {
    const timespec none{};
    while (::sigtimedwait(&FPipe, nullptr, &none) == SIGPIPE) {
    }
    ::pthread_sigmask(SIG_SETMASK, &FPrevious, nullptr);
  }
  TPipeSignalHeld(const TPipeSignalHeld&) = delete;
  TPipeSignalHeld& operator=(const TPipeSignalHeld&) = delete;

 private:
  sigset_t FPipe{}, FPrevious{};
};

bool is_fifo(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
}

std::string error_text(int error) {
  return error == ENOTSUP ? std::string("it is a device, not a file") : std::strerror(error);
}

// Opened for appending without ever blocking; a folder or a device is no
// record.
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

// Many processes may append to one record (a station over many ports):
// each holds the file's lock while its line goes out, so that no line is
// ever mixed with another, also when it leaves in parts (a FIFO, a line
// longer than one write takes). The lock goes with the descriptor.
void lock_for_line(int fd) {
  while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
  }
}

// Appends `line` to a file. A write that stops part way (a full disk) is
// cut back to where the line began, so the file stays whole lines and the
// next run's line does not join a broken one.
std::string append_to_file(const std::string& path, const std::string& line) {
  int error = 0;
  const int fd = open_for_append(path, error);
  if (fd < 0) return error_text(error);
  TFdCloser closer(fd);
  lock_for_line(fd);
  off_t begin = -1;
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : ENOSPC;
      break;
    }
    if (done == 0) begin = ::lseek(fd, 0, SEEK_CUR) - n;
    done += size_t(n);
  }
  if (error != 0) {
    if (done == 0) return std::strerror(error);
    // Only a file that still ends with this line's part is cut: what
    // another writer appended since stays.
    struct stat info {};
    const off_t end = ::lseek(fd, 0, SEEK_CUR);
    if (begin >= 0 && ::fstat(fd, &info) == 0 && info.st_size == end && ::ftruncate(fd, begin) == 0)
      return std::string(std::strerror(error)) + "; the part of the line written was taken back";
    return std::string(std::strerror(error)) + "; " + std::to_string(done) + " of " +
           std::to_string(line.size()) + " bytes of the line were written";
  }
  if (::fdatasync(fd) != 0 && errno != EINVAL && errno != EROFS) return std::strerror(errno);
  return {};
}

// Writes `line` whole into a FIFO: waits a little for a reader that opens
// late and for one that reads slowly, never for one that is not there.
std::string append_to_fifo(const std::string& path, const std::string& line) {
  using clock = std::chrono::steady_clock;
  const auto waited = [](clock::time_point since) { return clock::now() - since; };
  const clock::time_point opening = clock::now();
  int fd;
  for (;;) {
    fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) break;
    if (errno == EINTR) continue;
    if (errno != ENXIO) return std::strerror(errno);
    if (waited(opening) >= kFifoReaderWait)
      return "it is a FIFO, and no process opened it for reading within " +
             std::to_string(kFifoReaderWait.count()) + " s";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  TFdCloser closer(fd);
  lock_for_line(fd);
  TPipeSignalHeld pipeSignal;
  size_t done = 0;
  clock::time_point progress = clock::now();
  const auto part = [&] {
    return done == 0 ? std::string()
                     : " (" + std::to_string(done) + " of " + std::to_string(line.size()) +
                           " bytes of the line went)";
  };
  while (done < line.size()) {
    const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
    if (n > 0) {
      done += size_t(n);
      progress = clock::now();
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EPIPE) return "the FIFO's reader closed it" + part();
    if (n < 0 && errno != EAGAIN) return std::strerror(errno) + part();
    const auto left = kFifoReaderWait - waited(progress);
    if (left <= clock::duration::zero())
      return "it is a FIFO whose reader took nothing for " +
             std::to_string(kFifoReaderWait.count()) + " s" + part();
    pollfd wait{fd, POLLOUT, 0};
    ::poll(&wait, 1, int(std::chrono::duration_cast<std::chrono::milliseconds>(left).count()) + 1);
  }
  return {};
}

}  // namespace

bool TRunRecorder::CanAppend(std::string& why) const {
  // Opening a FIFO for writing and closing it again would tell its reader
  // the record has ended: whether it may be written is all there is to know.
  if (is_fifo(FPath)) {
    if (::access(FPath.c_str(), W_OK) == 0) return true;
    why = std::strerror(errno);
    return false;
  }
  int error = 0;
  const int fd = open_for_append(FPath, error);
  if (fd < 0) {
    why = error_text(error);
    return false;
  }
  ::close(fd);
  return true;
}

void TRunRecorder::Append(const std::string& line) {
  const std::string why =
      is_fifo(FPath) ? append_to_fifo(FPath, line) : append_to_file(FPath, line);
  if (why.empty() || FReported) return;
  FReported = true;
  FReport("cannot write the run record to " + FPath + ": " + why);
}

}  // namespace kestrel
