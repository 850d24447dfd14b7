#include "loader/core/ScriptReader.h"

#include "loader/core/ScriptArguments.h"

namespace kestrel {

std::string script_line_too_long(size_t length) {
  return script_too_long("the line", length, kScriptMaxCommandLine, "a script line");
}

TScriptReader::TScriptReader(const std::string& name)
    : FFile(open_file_for_read(name, &FOpenError)) {}

int TScriptReader::NextChar() {
  int c = std::getc(FFile.get());
  if (c == '\r') {
    const int after = std::getc(FFile.get());
    if (after == '\n') return after;
    FBareCarriageReturn = true;
    if (after != EOF) std::ungetc(after, FFile.get());
  }
  return c;
}

std::optional<TScriptCommandLine> TScriptReader::Next() {
  if (!FFile) return std::nullopt;
  bool atLineStart = true;
  bool inCommand = false;
  TScriptCommandLine line;
  for (;;) {
    const int c = NextChar();
    if (c == EOF || c == '\n') {
      const int number = FLine;
      if (c == '\n') ++FLine;
      if (inCommand) {
        line.LineNumber = number;
        return line;
      }
      if (c == EOF) return std::nullopt;
      atLineStart = true;
      continue;
    }
    if (atLineStart && c == '_') {
      inCommand = true;
      atLineStart = false;
    } else if (atLineStart && c == ';') {
      atLineStart = false;
    }
    if (inCommand) {
      if (line.Text.size() < size_t(kScriptMaxCommandLine)) line.Text += char(c);
      ++line.Length;
    }
  }
}

int script_files_named(const std::string& name) {
  TScriptReader script(name);
  int files = 0;
  while (const std::optional<TScriptCommandLine> line = script.Next())
    files += line->Text.compare(0, 3, "_LF") == 0 && script_word(line->Text).has_value();
  return files;
}

}  // namespace kestrel
