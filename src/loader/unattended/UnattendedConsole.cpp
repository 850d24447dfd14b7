#include "loader/unattended/UnattendedConsole.h"

#include <algorithm>
#include <cstdio>

#include "loader/core/RunOutcome.h"
#include "loader/core/UnitWords.h"
#include "loader/core/UploadRate.h"

namespace kestrel {

TUnattendedConsole::TUnattendedConsole(std::FILE* out, bool terminal)
    : FOut(out), FTerminal(terminal) {}

void TUnattendedConsole::Status(const std::string& text) {
  if (text.find_first_not_of(' ') == std::string::npos) return;
  line("status", text);
}

namespace {

constexpr size_t kUnitLineShown = 200;

}  // namespace

void TUnattendedConsole::UnitBytes(const char* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c == '\r' || c == '\n') {
      if (!FUnitLine.empty()) line("unit", FUnitLine);
      FUnitLine.clear();
      FUnitLineBytes = 0;
      continue;
    }
    if (++FUnitLineBytes > kUnitLineShown) {
      // A line past what is shown: one mark says so; the rest is dropped.
      if (FUnitLineBytes == kUnitLineShown + 1) FUnitLine += " ...";
      continue;
    }
    append_shown_byte(FUnitLine, c);
  }
}

void TUnattendedConsole::PromptMissed(char prompt, int comNumber, int attempt, int attempts) {
  std::string text =
      "no \"" + std::string(1, prompt) + "\" from COM " + std::to_string(comNumber) + " yet";
  if (attempts > 0)
    text += " (try " + std::to_string(attempt) + " of " + std::to_string(attempts) + ")";
  line("wait", text);
}

void TUnattendedConsole::Fatal(const std::string& text) {
  line("kestrel", text);
}

void TUnattendedConsole::Summary(const TRunOutcome& run, int exitStatus) {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - FStart).count();
  const bool ok = exitStatus == 0;
  const char* verdict = ok ? "SUCCESS" : run.Interrupted() ? "INTERRUPTED" : "FAILED";
  char text[256];
  std::snprintf(text, sizeof text, "%s: %d of %d files loaded, %llu bytes, %.1f s, exit status %d",
                verdict, run.FilesLoaded(), run.FilesNamed(),
                static_cast<unsigned long long>(run.BytesLoaded()), seconds, exitStatus);
  line("summary", text);
}

void TUnattendedConsole::Cause(const std::string& text) {
  line("cause", text);
}

void TUnattendedConsole::Station(const std::string& text) {
  line("station", text);
}

void TUnattendedConsole::Verdict(bool pass, int unit, const std::string& text) {
  end_bar();
  const std::string shown =
      std::string(pass ? "PASS" : "FAIL") + " unit " + std::to_string(unit) + ": " + text;
  // Bold, on green or red, across the line; a blank line above and below.
  if (FTerminal)
    std::fprintf(FOut, "\n\x1b[1;97;%dm  %s  \x1b[0m\n\n", pass ? 42 : 41, shown.c_str());
  else
    std::fprintf(FOut, "\n%s\n\n", shown.c_str());
  std::fflush(FOut);
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
  // A message's further lines (the unit's words after its text) are indented
  // under it.
  for (char c : text) {
    if (c == '\r' || c == '\n')
      shown += "\n  ";
    else
      shown += c;
  }
  std::fprintf(FOut, "%s: %s\n", kind, shown.c_str());
  std::fflush(FOut);
}

void TUnattendedConsole::UploadBegins() {
  FUploadBegan = std::chrono::steady_clock::now();
  FTenthShown = -1;
}

void TUnattendedConsole::Progress(const std::string& file, uint64_t sent, uint64_t total) {
  const auto now = std::chrono::steady_clock::now();
  const int percent = total == 0 ? 100 : int(std::min<uint64_t>(sent, total) * 100 / total);
  const int tenth = percent / 10;
  if (!FTerminal && tenth <= FTenthShown) return;
  FTenthShown = tenth;

  const double seconds = std::chrono::duration<double>(now - FUploadBegan).count();
  const std::string shown = "upload: " + file + ": " + upload_progress_text(sent, total, seconds);
  if (!FTerminal) {
    std::fprintf(FOut, "%s\n", shown.c_str());
  } else {
    // Redrawn in place; the rest of a longer earlier line is cleared.
    std::fprintf(FOut, "\r%s\x1b[K", shown.c_str());
    FBarShown = true;
    if (sent >= total) end_bar();
  }
  std::fflush(FOut);
}

void TUnattendedConsole::end_bar() {
  if (!FBarShown) return;
  std::fputc('\n', FOut);
  FBarShown = false;
}

}  // namespace kestrel
