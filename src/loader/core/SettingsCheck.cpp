#include "loader/core/SettingsCheck.h"

#include "loader/core/LoaderSettings.h"
#include "loader/core/ScriptArguments.h"

namespace kestrel {

namespace {

// A word or value as the check shows it: trimmed, cut short, with control
// characters made visible.
std::string shown(const std::string& text) {
  constexpr size_t kShown = 40;
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return {};
  const size_t end = text.find_last_not_of(" \t") + 1;
  std::string out =
      script_visible(std::string_view(text).substr(begin, end - begin).substr(0, kShown));
  if (end - begin > kShown) out += "...";
  return out;
}

}  // namespace

void TSettingsLabelCheck::Line(int number, int fileLine, const std::string& label,
                               const std::optional<std::string>& value) {
  const int word = example_settings_line_of(label);
  if (word == number) {
    FOffset = 0;
    return;
  }
  if (word == 0) {
    if (FOwnWords++ == 0) FFirstOwnWord = fileLine;
    return;
  }
  // Every line after a shift is shifted the same way: it is told once.
  if (word - number == FOffset) return;
  FOffset = word - number;
  ++FShifts;
  const char* meaning = example_settings_meaning(number);
  FOut << "settings: " << FFile << ':' << fileLine << ": line " << number << " holds `"
       << shown(label) << "`, the example file's word for line " << word
       << ": a line seems to be missing or added above it";
  if (!meaning)
    FOut << "; the run does not read line " << number;
  else if (!value)
    FOut << "; without an \"=\" it sets nothing, so " << meaning << " keeps its default";
  else
    FOut << "; the run takes its value `" << shown(*value) << "` as " << meaning;
  FOut << '\n';
}

int TSettingsLabelCheck::Finish() {
  if (FOwnWords > 0)
    FOut << "settings: " << FFile << ':' << FFirstOwnWord << ": note: " << FOwnWords
         << (FOwnWords == 1 ? " line has a word" : " lines have words")
         << " of its own before the \"=\"; only the order of the lines counts\n";
  return FShifts;
}

}  // namespace kestrel
