#include "loader/core/UploadWatch.h"

#include <string_view>

namespace kestrel {

namespace {

// The image bytes kept for the echo search: two blocks.
constexpr size_t kRecentBytes = 4000;
// This many image bytes in a row, coming back, are an echo. Blanks and line
// ends alone are no proof: a unit's own words have them too.
constexpr size_t kEchoRun = 12;

bool proves_nothing(std::string_view run) {
  for (char c : run)
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n' && c != 0) return false;
  return true;
}

}  // namespace

TUploadWatch::TUploadWatch(const std::string& uploadLine, char normalPrompt, char loaderPrompt)
    : FLine(uploadLine.substr(0, uploadLine.find_first_of("\r\n"))),
      FJudge(loaderPrompt, normalPrompt),
      FLoaderPrompt(loaderPrompt) {}

void TUploadWatch::Sending(const uint8_t* bytes, size_t count) {
  FRecent.append(reinterpret_cast<const char*>(bytes), count);
  if (FRecent.size() > kRecentBytes) FRecent.erase(0, FRecent.size() - kRecentBytes);
}

void TUploadWatch::Feed(const char* bytes, size_t count, int64_t nowMs) {
  for (size_t i = 0; i < count; ++i) feed_byte(bytes[i], nowMs);
}

void TUploadWatch::feed_byte(char c, int64_t nowMs) {
  // The unit's echo of the upload line is no answer.
  if (FEchoing) {
    if (FEchoed < FLine.size() && c == FLine[FEchoed]) {
      ++FEchoed;
      return;
    }
    if ((c == '\r' || c == '\n') && FEchoed == 0) return;
    FEchoing = false;
  }
  FJudge.Feed(c, nowMs);
  if (FEchoSeen) return;
  FTail += c;
  if (FTail.size() > kEchoRun) FTail.erase(0, FTail.size() - kEchoRun);
  if (FTail.size() == kEchoRun && !proves_nothing(FTail) &&
      FRecent.find(FTail) != std::string::npos)
    FEchoSeen = true;
}

std::string TUploadWatch::Refusal(int64_t nowMs) const {
  if (FEchoSeen) return "it echoed the image's bytes back, so it was reading them as commands";
  if (!FPromptsCount) return {};
  switch (FJudge.Verdict(nowMs)) {
    case TPromptVerdict::Awaited:
      return std::string("it showed its loader prompt \"") + FLoaderPrompt +
             "\" before the data was through, so it was not reading the image";
    case TPromptVerdict::Other:
      return "it showed its normal prompt before the data was through: it had left loader mode";
    case TPromptVerdict::Pending:
      break;
  }
  return {};
}

}  // namespace kestrel
