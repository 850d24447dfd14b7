#include "loader/core/PromptJudge.h"

#include <climits>

namespace kestrel {

void TPromptJudge::Feed(char c, int64_t nowMs) {
  if (c == FAwaited || (FOther != 0 && c == FOther)) {
    FCandidate = c;
    FLastMs = nowMs;
    FAfter = 0;
    return;
  }
  if (!FCandidate) return;
  if (c == '\r' || c == '\n') {
    FCandidate = 0;  // inside words
    return;
  }
  FLastMs = nowMs;
  if (c != ' ' && c != '\t') ++FAfter;
}

TPromptVerdict TPromptJudge::Verdict(int64_t nowMs) const {
  if (!FCandidate || (FAfter <= kLineBytes && nowMs - FLastMs < kSettleMs))
    return TPromptVerdict::Pending;
  return FCandidate == FAwaited ? TPromptVerdict::Awaited : TPromptVerdict::Other;
}

int64_t TPromptJudge::DueMs() const {
  return FCandidate ? FLastMs + kSettleMs : INT64_MAX;
}

}  // namespace kestrel
