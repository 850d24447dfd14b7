#pragma once
// What the unit said lately, kept so that a failure can quote it: the last
// lines it sent since the exchange that failed began. A line that holds
// only a prompt character says nothing, and neither does the unit's echo of
// a line the loader sent; the loader never looks for particular words.
//
// Thread contract: window thread only.

#include <deque>
#include <string>
#include <string_view>

namespace kestrel {

// A byte of the unit as an operator can read it: control bytes and bytes
// above 0x7E as \xNN.
void append_shown_byte(std::string& to, unsigned char c);

class TUnitWords {
 public:
  // How much of the unit's words a quote holds.
  static constexpr size_t kQuotedLines = 3;
  static constexpr size_t kQuotedChars = 200;

  // The prompt characters, which alone on a line say nothing.
  void SetPrompts(char normal, char loader);

  // An exchange begins: what the unit says from now on is its answer.
  void Mark();
  // The loader sent `text`; a line of it that comes back is an echo.
  void Sent(std::string_view text);
  // Bytes the unit sent.
  void Feed(const char* bytes, size_t count);

  // The unit's words since the mark, oldest first, each line in double
  // quotes: the last lines, at most kQuotedChars characters in all.
  std::string Quote() const;
  // Whether the unit sent anything since the mark, and whether any of it
  // was a prompt character.
  bool SaidAnything() const { return FBytes > 0; }
  bool SentPrompt() const { return FPromptSeen != 0; }
  // Whether the last thing the unit sent since the mark, blanks and line
  // ends aside, is `prompt`.
  bool EndsWith(char prompt) const { return FLastShown == prompt && prompt != 0; }

  // Why a failure happened in the unit's terms, as a sentence to follow the
  // failure's message: its words since the mark, else that it answered only
  // with its prompt, else that it said nothing `since` (" since ...").
  std::string Cause(const std::string& since = {}) const;

 private:
  void end_line();
  bool says_nothing(const std::string& line) const;

  char FNormal = '#';
  char FLoader = '>';
  std::deque<std::string> FLines;  // complete lines since the mark
  std::string FLine;               // the line under way, as sent
  std::deque<std::string> FSent;   // lines the loader sent since the mark
  size_t FBytes = 0;
  char FPromptSeen = 0;
  char FLastShown = 0;
};

// `message`, then the cause on a line of its own after it.
std::string with_cause(const std::string& message, const std::string& cause);

}  // namespace kestrel
