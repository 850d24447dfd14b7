#include "UnattendedConsole.h"

#include <algorithm>

#include "RunOutcome.h"

namespace kestrel {

namespace {

constexpr int kBarWidth = 30;

}  // namespace

TUnattendedConsole::TUnattendedConsole(std::FILE* out, bool terminal)
    : FOut(out), FTerminal(terminal) {}

void TUnattendedConsole::Status(const std::string& text) {
  if (text.find_first_not_of(' ') == std::string::npos) return;
  line("status", text);
}

void TUnattendedConsole::Fatal(const std::string& text) {
  line("kestrel", text);
}

void TUnattendedConsole::Summary(const TRunOutcome& run, int exitStatus) {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - FStart).count();
  const bool ok = exitStatus == 0;
  const char* verdict = ok                       ? "SUCCESS"
                        : run.Interrupted()      ? "INTERRUPTED"
                                                 : "FAILED";
  char text[256];
  std::snprintf(text, sizeof text, "%s: %d of %d files loaded, %llu bytes, %.1f s, exit status %d",
                verdict, run.FilesLoaded(), int(run.Files().size()),
                static_cast<unsigned long long>(run.BytesLoaded()), seconds, exitStatus);
  line("summary", text);
}

void TUnattendedConsole::Message(const std::string& text) {
  line("message", text);
}

void TUnattendedConsole::Note(const std::string& text) {
  line("note", text);
}

void TUnattendedConsole::line(const char* kind, const std::string& text) {
  end_bar();
  std::string shown;
  for (char c : text) {
    if (c == '\r')
      shown += "\n  ";
    else
      shown += c;
  }
  std::fprintf(FOut, "%s: %s\n", kind, shown.c_str());
  std::fflush(FOut);
}

void TUnattendedConsole::Progress(const std::string& file, int done, int total) {
  total = std::max(total, 1);
  if (!FTerminal) {
    std::fprintf(FOut, "upload: %s: block %d of %d\n", file.c_str(), done, total);
    std::fflush(FOut);
    return;
  }
  const int filled = std::clamp(done * kBarWidth / total, 0, kBarWidth);
  std::fprintf(FOut, "\rupload: %s [%s%s] %d/%d blocks", file.c_str(),
               std::string(size_t(filled), '#').c_str(),
               std::string(size_t(kBarWidth - filled), '.').c_str(), done, total);
  FBarShown = true;
  if (done >= total) end_bar();
  std::fflush(FOut);
}

void TUnattendedConsole::end_bar() {
  if (!FBarShown) return;
  std::fputc('\n', FOut);
  FBarShown = false;
}

}  // namespace kestrel
