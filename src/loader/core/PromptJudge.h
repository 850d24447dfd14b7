#pragma once
// Tells a unit's prompt from a prompt character inside its words. A unit
// that shows its prompt then waits for input, so the prompt is the last
// thing on its line: a character that a line end follows shortly ("CRC 1234
// -> REJECTED") was part of what it said. A prompt counts once the unit has
// fallen quiet after it (blanks aside), or has gone on for more than a line
// without ending one (chatter after the prompt, which no words are).
//
// Thread contract: one thread at a time.

#include <cstdint>

namespace kestrel {

enum class TPromptVerdict { Pending, Awaited, Other };

class TPromptJudge {
 public:
  // Quiet after a prompt that makes it the unit's prompt.
  static constexpr int64_t kSettleMs = 100;
  // Bytes after a prompt, with no line end, that make it the prompt too.
  static constexpr int kLineBytes = 200;

  // `other`: a prompt that is not the awaited one but also ends the wait
  // (the unit answered in another mode); 0 for none.
  TPromptJudge(char awaited, char other) : FAwaited(awaited), FOther(other) {}

  // A byte the unit sent at `nowMs`.
  void Feed(char c, int64_t nowMs);
  // The prompt the unit settled on by `nowMs`, if any.
  TPromptVerdict Verdict(int64_t nowMs) const;
  // When Verdict may change with no further byte; INT64_MAX: not before one.
  int64_t DueMs() const;

 private:
  char FAwaited;
  char FOther;
  char FCandidate = 0;  // the last prompt character, while it may be the prompt
  int64_t FLastMs = 0;  // when the unit last sent a byte after it
  int FAfter = 0;       // bytes after it on its line
};

}  // namespace kestrel
