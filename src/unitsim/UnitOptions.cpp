#include "unitsim/UnitOptions.h"

#include <charconv>
#include <cstdint>
#include <type_traits>

namespace kestrel {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseInteger(std::string_view value, int64_t low, int64_t high, int64_t& out) {
  int64_t parsed = 0;
  auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), parsed);
  if (ec != std::errc() || end != value.data() + value.size()) return false;
  if (parsed < low || parsed > high) return false;
  out = parsed;
  return true;
}

bool ParseSwitch(std::string_view value, bool hasValue, bool& out) {
  if (!hasValue || value == "1" || value == "on" || value == "yes" || value == "true") {
    out = true;
    return true;
  }
  if (value == "0" || value == "off" || value == "no" || value == "false") {
    out = false;
    return true;
  }
  return false;
}

}  // namespace

std::string UnescapeUnitValue(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (size_t i = 0; i < value.size(); ++i) {
    char c = value[i];
    if (c != '\\' || i + 1 == value.size()) {
      out += c;
      continue;
    }
    char next = value[i + 1];
    switch (next) {
      case 'r':
        out += '\r';
        ++i;
        break;
      case 'n':
        out += '\n';
        ++i;
        break;
      case 't':
        out += '\t';
        ++i;
        break;
      case '\\':
        out += '\\';
        ++i;
        break;
      case ';':
        out += ';';
        ++i;
        break;
      case 'x':
        if (i + 3 < value.size() && HexDigit(value[i + 2]) >= 0 && HexDigit(value[i + 3]) >= 0) {
          out += static_cast<char>(HexDigit(value[i + 2]) * 16 + HexDigit(value[i + 3]));
          i += 3;
        } else {
          out += c;
        }
        break;
      default:
        out += c;
        break;
    }
  }
  return out;
}

bool SetUnitOption(TUnitOptions& options, std::string_view key, std::string_view rawValue,
                   bool hasValue, std::string& error) {
  const std::string value = UnescapeUnitValue(rawValue);
  auto needValue = [&]() {
    if (hasValue) return true;
    error = "option " + std::string(key) + " needs a value";
    return false;
  };
  auto number = [&](int64_t low, int64_t high, auto& field) {
    if (!needValue()) return false;
    int64_t parsed = 0;
    if (!ParseInteger(value, low, high, parsed)) {
      error = "option " + std::string(key) + ": '" + value + "' is not a number from " +
              std::to_string(low) + " to " + std::to_string(high);
      return false;
    }
    field = static_cast<std::remove_reference_t<decltype(field)>>(parsed);
    return true;
  };
  auto text = [&](std::string& field, bool allowEmpty) {
    if (!needValue()) return false;
    if (!allowEmpty && value.empty()) {
      error = "option " + std::string(key) + " must not be empty";
      return false;
    }
    field = value;
    return true;
  };
  auto flag = [&](bool& field) {
    if (ParseSwitch(value, hasValue, field)) return true;
    error = "option " + std::string(key) + ": '" + value + "' is not on or off";
    return false;
  };

  if (key == "prompt") return text(options.NormalPrompt, false);
  if (key == "loader") return text(options.LoaderPrompt, false);
  if (key == "loader-cmd") return text(options.LoaderCommand, false);
  if (key == "upload-cmd") return text(options.UploadCommand, false);
  if (key == "query") {
    if (!needValue()) return false;
    size_t colon = value.find(':');
    if (colon == std::string::npos || colon == 0) {
      error = "option query wants WORD:answer";
      return false;
    }
    options.Queries[value.substr(0, colon)] = value.substr(colon + 1);
    return true;
  }
  if (key == "flash-ms") return number(0, 3600000, options.FlashMs);
  if (key == "block") return number(1, 1 << 30, options.FlashBlock);
  if (key == "flash-size") return number(0, int64_t{1} << 32, options.FlashSize);
  if (key == "data-timeout-ms") return number(1, 3600000, options.DataTimeoutMs);
  if (key == "baud") return number(50, 100000000, options.Baud);
  if (key == "bits") return number(5, 13, options.BitsPerByte);
  if (key == "silent") return flag(options.Silent);
  if (key == "no-loader") return flag(options.NoLoaderMode);
  if (key == "cts-stuck") return flag(options.CtsStuck);
  if (key == "flood") return flag(options.Flood);
  if (key == "no-answer") return flag(options.NoAnswer);
  if (key == "pace") return flag(options.Pace);
  if (key == "refuse-upload") return text(options.RefuseUpload, false);
  if (key == "refuse-leaves") return flag(options.RefuseLeaves);
  if (key == "reject") return text(options.Reject, false);
  if (key == "dropout") return number(0, INT64_MAX, options.DropoutAfter);
  if (key == "corrupt") return number(1, INT64_MAX, options.CorruptAt);
  if (key == "unplug-after") return number(0, INT64_MAX, options.UnplugAfter);
  if (key == "dir") return text(options.Dir, false);
  if (key == "record") return text(options.Record, false);
  if (key == "transcript") return text(options.Transcript, false);
  error = "unknown option '" + std::string(key) + "'";
  return false;
}

bool ParseUnitOptions(std::string_view text, TUnitOptions& options, std::string& error) {
  size_t start = 0;
  while (start <= text.size()) {
    // Find the next ';' that is not escaped.
    size_t end = start;
    while (end < text.size() && text[end] != ';') {
      end += (text[end] == '\\' && end + 1 < text.size()) ? 2 : 1;
    }
    std::string_view item = text.substr(start, end - start);
    if (!item.empty()) {
      size_t eq = item.find('=');
      bool hasValue = eq != std::string_view::npos;
      std::string_view key = hasValue ? item.substr(0, eq) : item;
      std::string_view value = hasValue ? item.substr(eq + 1) : std::string_view();
      if (!SetUnitOption(options, key, value, hasValue, error)) return false;
    }
    start = end + 1;
  }
  return true;
}

const char* UnitOptionsHelp() {
  return "  prompt=C           normal prompt (default #)\n"
         "  loader=C           loader-mode prompt (default >)\n"
         "  loader-cmd=TEXT    loader-mode command, matched as a line (default LOADR\\r)\n"
         "  upload-cmd=WORD    first word of the upload line (default LF)\n"
         "  query=WORD:ANSWER  answer a query line WORD with ANSWER (repeatable;\n"
         "                     built in: VER, ID, and LAST for the last upload)\n"
         "  flash-ms=N         CTS low for N ms after each flash block (default 20)\n"
         "  block=N            flash block size in bytes (default 2000)\n"
         "  flash-size=N       largest image accepted (default 16777216)\n"
         "  data-timeout-ms=N  silence that ends a short upload (default 3000)\n"
         "  baud=N, bits=N     wire rate for pace and flood (default 9600, 10 bits a byte)\n"
         "  dir=FOLDER         store images as FOLDER/<address>.bin\n"
         "  record=FILE        upload records, one JSON object a line\n"
         "                     (default FOLDER/uploads.jsonl when dir is given)\n"
         "  transcript=FILE    every byte received and sent, with milliseconds\n"
         "faults:\n"
         "  silent             take everything, answer nothing\n"
         "  no-loader          never enter loader mode (keep answering the normal prompt)\n"
         "  cts-stuck          hang in the first flash write: CTS stays low\n"
         "  flood              send garbage continuously at the wire rate\n"
         "  dropout=N          go silent after N data bytes\n"
         "  corrupt=N          invert data byte N (1 = first) of every upload\n"
         "  no-answer          answer queries with the prompt only\n"
         "  pace               send (and, on a pseudo-terminal, take) every byte at the\n"
         "                     wire rate of baud\n"
         "  refuse-upload=TEXT answer every upload line with the line TEXT and the\n"
         "                     prompt, and take what follows as commands\n"
         "  refuse-leaves      leave loader mode when refusing an upload line\n"
         "  reject=TEXT        after the data, reject every image with the line TEXT\n"
         "                     and leave loader mode"
         "  unplug-after=N     (sim: only) pull the port's adapter out once the port\n"
         "                     has sent N bytes\n";
}

}  // namespace kestrel
