#include "loader/core/ScriptArguments.h"

#include <cstdio>

namespace kestrel {

std::optional<std::string> script_quoted_text(std::string_view line) {
  const size_t quote = line.find('"');
  if (quote == std::string_view::npos || quote + 1 >= line.size()) return std::nullopt;
  const std::string_view rest = line.substr(quote + 1);
  return std::string(rest.substr(0, rest.size() - 1));
}

std::optional<char> script_quoted_char(std::string_view line) {
  const size_t quote = line.find('"');
  if (quote == std::string_view::npos || quote + 1 >= line.size()) return std::nullopt;
  return line[quote + 1];
}

std::optional<TScriptCompare> script_compare_argument(std::string_view line) {
  const size_t open = line.find('"');
  if (open == std::string_view::npos) return std::nullopt;
  const size_t close = line.find('"', open + 1);
  if (close == std::string_view::npos) return std::nullopt;
  std::string_view rest = line.substr(close + 1);
  while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  return TScriptCompare{std::string(line.substr(open + 1, close - open - 1)), std::string(rest)};
}

std::optional<std::string> script_word(std::string_view line) {
  size_t at = line.find(' ');
  if (at == std::string_view::npos) return std::nullopt;
  while (at < line.size() && line[at] == ' ') ++at;
  return std::string(line.substr(at));
}

std::string script_caret_escapes(std::string_view text, char replacement) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '^' && i + 1 < text.size() && text[i + 1] == 'M') {
      out += replacement;
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string script_backslash_escapes(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == 'r' || text[i + 1] == 'n')) {
      out += text[i + 1] == 'r' ? '\r' : '\n';
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string script_field(std::string_view text, size_t limit) {
  return std::string(text.substr(0, limit));
}

std::string script_too_long(const std::string& what, size_t length, size_t limit,
                            const std::string& holder) {
  if (length <= limit) return {};
  return what + " is " + std::to_string(length) + " characters long, more than the " +
         std::to_string(limit) + " " + holder + " holds";
}

std::string script_date_text(const std::tm& time) {
  char text[64];
  std::snprintf(text, sizeof text, "%d/%d/%d_%d:%02d:%02d", time.tm_mon + 1, time.tm_mday,
                time.tm_year + 1900, time.tm_hour, time.tm_min, time.tm_sec);
  return text;
}

std::string script_upload_line(const std::string& command, const std::string& address,
                               uint32_t size, uint32_t checksum, const std::string& version,
                               size_t limit) {
  char numbers[32];
  std::snprintf(numbers, sizeof numbers, " %u %x ", unsigned(size), unsigned(checksum));
  return script_field(command + ' ' + address + numbers + version + '\r', limit);
}

std::optional<TScriptArgumentForm> script_argument_form(std::string_view command) {
  using F = TScriptArgumentForm;
  static constexpr struct {
    std::string_view Name;
    F Form;
  } kCommands[] = {{"_SC", F::Quoted},  {"_TC", F::Quoted},     {"_DM", F::Quoted},
                   {"_DY", F::Number},  {"_LP", F::Number},     {"_LC", F::Quoted},
                   {"_LF", F::Word},    {"_LA", F::Word},       {"_LV", F::Word},
                   {"_LD", F::None},    {"_PC", F::QuotedChar}, {"_QC", F::Quoted},
                   {"_CE", F::Compare}, {"_CS", F::Compare}};
  for (const auto& c : kCommands)
    if (c.Name == command) return c.Form;
  return std::nullopt;
}

std::string script_visible(std::string_view text, bool quoted) {
  std::string out;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (quoted && (c == '\\' || c == '"')) {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", u);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

namespace {

bool is_control(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u < 0x20 || u == 0x7F;
}

std::string field_fault(const char* name, const std::string& text, bool blanksAllowed) {
  const std::string shown = std::string(name) + " \"" + script_visible(text) + "\"";
  if (!blanksAllowed && text.empty()) return std::string(name) + " is empty";
  for (const char c : text) {
    if (is_control(c)) return shown + " holds a control character";
    if (!blanksAllowed && c == ' ') return shown + " holds a blank";
  }
  return {};
}

}  // namespace

std::string upload_line_fault(const std::string& command, const std::string& address,
                              const std::string& version) {
  for (std::string fault :
       {field_fault("the upload command word", command, false),
        field_fault("the load address", address, false), field_fault("the version", version, true)})
    if (!fault.empty()) return fault;
  return {};
}

}  // namespace kestrel
