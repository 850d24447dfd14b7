#pragma once
// How a script command line yields its argument, and the escapes applied to
// it. A command line is "_XX" followed by its argument; a form that needs a
// double quote (or a blank) the line lacks yields nothing.

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel {

// From the character after the first double quote to the end of the line,
// less the line's last character (taken to be the closing quote). Nothing
// when there is no quote or nothing follows it.
std::optional<std::string> script_quoted_text(std::string_view line);

// The character right after the first double quote.
std::optional<char> script_quoted_char(std::string_view line);

// The compare text between the first and the second double quote, and the
// rest of the line after the closing quote, leading blanks skipped: a
// command line of its own. Nothing without both quotes.
struct TScriptCompare {
  std::string Text;
  std::string Command;
};
std::optional<TScriptCompare> script_compare_argument(std::string_view line);

// Everything after the first blank and the blanks that follow it.
std::optional<std::string> script_word(std::string_view line);

// "^M" (caret, capital M) becomes `replacement`.
std::string script_caret_escapes(std::string_view text, char replacement);

// Backslash-r becomes a carriage return, backslash-n a line feed.
std::string script_backslash_escapes(std::string_view text);

// At most `limit` characters of `text`: the size of the field it goes into.
std::string script_field(std::string_view text, size_t limit);

// "the load address is 52 characters long, more than the 49 its field
// holds": why `what` cannot be used as it stands. Empty when it fits.
std::string script_too_long(const std::string& what, size_t length, size_t limit,
                            const std::string& holder = "its field");

// "7/5/2004_9:07:04": month, day and hour without a leading zero, minutes
// and seconds with two digits.
std::string script_date_text(const std::tm& time);

// The upload line _LD sends: command word, load address, size in decimal,
// checksum in lower-case hexadecimal without leading zeros, version text and
// a carriage return, cut to the command buffer's `limit`.
std::string script_upload_line(const std::string& command, const std::string& address,
                               uint32_t size, uint32_t checksum, const std::string& version,
                               size_t limit);

// The text with what a terminal would not show written as escapes (\r, \n,
// \xNN); inside double quotes (`quoted`) the quote and the backslash are
// escaped too.
std::string script_visible(std::string_view text, bool quoted = false);

// What would make the unit misread an upload line: its fields are parted by
// blanks and the line ends at a carriage return, so the command word and
// the load address must be non-empty and hold neither a blank nor a control
// character, and the version no control character. Names the field and what
// is wrong with it; empty when the line is sound.
std::string upload_line_fault(const std::string& command, const std::string& address,
                              const std::string& version);

// The argument form of each command; nothing for a text that is no command.
enum class TScriptArgumentForm { Quoted, QuotedChar, Compare, Word, Number, None };
std::optional<TScriptArgumentForm> script_argument_form(std::string_view command);

}  // namespace kestrel
