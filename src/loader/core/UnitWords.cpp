#include "loader/core/UnitWords.h"

#include <cstdio>

namespace kestrel {

namespace {

// Lines kept beyond what a quote shows, and the bytes kept of one line.
constexpr size_t kKeptLines = 8;
constexpr size_t kKeptLineBytes = 1024;

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

}  // namespace

void append_shown_byte(std::string& to, unsigned char c) {
  if (c >= 0x20 && c < 0x7F) {
    to += char(c);
    return;
  }
  char hex[8];
  std::snprintf(hex, sizeof hex, "\\x%02X", unsigned(c));
  to += hex;
}

void TUnitWords::SetPrompts(char normal, char loader) {
  FNormal = normal;
  FLoader = loader;
}

void TUnitWords::Mark() {
  FLines.clear();
  FLine.clear();
  FSent.clear();
  FBytes = 0;
  FPromptSeen = 0;
  FLastShown = 0;
}

void TUnitWords::Sent(std::string_view text) {
  while (!text.empty()) {
    const size_t end = text.find_first_of("\r\n");
    const std::string_view line = trimmed(text.substr(0, end));
    if (!line.empty()) {
      FSent.emplace_back(line);
      if (FSent.size() > kKeptLines) FSent.pop_front();
    }
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

void TUnitWords::Feed(const char* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const char c = bytes[i];
    ++FBytes;
    if (c == '\r' || c == '\n') {
      end_line();
      continue;
    }
    if (c == FNormal || c == FLoader) FPromptSeen = c;
    if (c != ' ' && c != '\t') FLastShown = c;
    if (FLine.size() < kKeptLineBytes) FLine += c;
  }
}

bool TUnitWords::says_nothing(const std::string& line) const {
  for (char c : line)
    if (c != FNormal && c != FLoader && c != ' ' && c != '\t') return false;
  return true;
}

void TUnitWords::end_line() {
  std::string line;
  line.swap(FLine);
  if (says_nothing(line)) return;
  // The echo of a line the loader sent, maybe after the prompt it followed.
  std::string_view words = trimmed(line);
  while (!words.empty() && (words.front() == FNormal || words.front() == FLoader))
    words = trimmed(words.substr(1));
  for (auto sent = FSent.begin(); sent != FSent.end(); ++sent) {
    if (*sent == words) {
      FSent.erase(sent);
      return;
    }
  }
  FLines.push_back(std::move(line));
  if (FLines.size() > kKeptLines) FLines.pop_front();
}

std::string TUnitWords::Quote() const {
  std::deque<std::string> lines = FLines;
  if (!says_nothing(FLine)) lines.push_back(FLine);
  std::string quote;
  size_t shown = 0;
  size_t taken = 0;
  for (auto line = lines.rbegin(); line != lines.rend() && taken < kQuotedLines; ++line) {
    std::string text;
    for (char c : trimmed(*line)) append_shown_byte(text, static_cast<unsigned char>(c));
    if (shown + text.size() > kQuotedChars) {
      // The newest line is always quoted, cut to fit; older ones only whole.
      if (taken > 0) break;
      text = text.substr(0, kQuotedChars) + "...";
    }
    shown += text.size();
    quote = "\"" + text + "\"" + (taken > 0 ? ", " : "") + quote;
    ++taken;
  }
  return quote;
}

std::string TUnitWords::Cause(const std::string& since) const {
  if (const std::string quote = Quote(); !quote.empty()) return "The unit said: " + quote + ".";
  if (FPromptSeen) {
    std::string prompt;
    append_shown_byte(prompt, static_cast<unsigned char>(FPromptSeen));
    return "The unit answered only with its prompt \"" + prompt + "\".";
  }
  if (FBytes > 0) return "The unit sent no prompt and no words of its own" + since + ".";
  return "The unit said nothing" + since + ".";
}

std::string with_cause(const std::string& message, const std::string& cause) {
  if (cause.empty()) return message;
  return message + "\n" + cause;
}

}  // namespace kestrel
