#pragma once
// The text of a settings file as tests write it: the example file's 24
// counted lines, each with the example's reminder word, at the values the
// program starts from unless `changes` gives a line another value.

#include <initializer_list>
#include <string>
#include <utility>

#include "loader/core/LoaderSettings.h"

namespace kestrel::test {

inline std::string SettingsText(std::initializer_list<std::pair<int, std::string>> changes = {}) {
  // Line by line, as numbered in the file.
  static const char* const kDefaults[24] = {"0", "38400", "8",     "0", "1", "",  "",  "MANUAL",
                                            "",  "",      "",      "",  "",  "#", ">", "",
                                            "",  "",      "LOADR", "1", "0", "0", "0", "LF"};
  std::string text = "; test settings\n";
  for (int n = 1; n <= 24; ++n) {
    std::string value = kDefaults[n - 1];
    for (const auto& [line, changed] : changes)
      if (line == n) value = changed;
    text += std::string(example_settings_label(n)) + "=" + value + "\n";
  }
  return text;
}

}  // namespace kestrel::test
