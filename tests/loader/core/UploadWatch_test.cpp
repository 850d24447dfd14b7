// What a unit sends between the upload line and the end of the data, and
// whether it shows that the unit did not take the image.

#include "loader/core/UploadWatch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestPattern.h"

namespace kestrel {
namespace {

TEST(UploadWatch, APromptOrTheImagesEchoIsARefusalButTheUnitsOwnWordsAreNot) {
  const std::vector<uint8_t> image = test::PatternBytes(2000, 71);
  const std::string echo(image.begin() + 100, image.begin() + 140);
  struct TStep {
    int64_t AtMs;
    std::string Bytes;
  };
  struct TCase {
    const char* Name;
    std::vector<TStep> Unit;
    bool LastBytesGone;  // the last block was handed over before the unit spoke
    bool Refused;        // as judged 1 s after the unit's last byte
  };
  const std::vector<TCase> cases = {
      {"takes it", {{5, "LF 8000 2000 1f 1>V\r\n"}, {6, "LOADING 2000 BYTES\r\n"}}, false, false},
      {"echoes the line, says why, shows its prompt",
       {{5, "LF 8000 2000 1f 1>V\r\nERROR: ADDRESS OUT OF RANGE\r\n>"}},
       false,
       true},
      {"back to its normal prompt", {{5, "LOADER TIMED OUT\r\n#"}}, false, true},
      {"a \">\" inside its words", {{5, "LOADING -> 8000\r\n"}}, false, false},
      {"echoes the image", {{5, "LOADING\r\n"}, {300, echo}}, false, true},
      {"echoes the image once it is all gone", {{300, echo}}, true, true},
      {"its prompt once the data is all gone", {{300, "UPLOAD OK\r\n>"}}, true, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TUploadWatch watch("LF 8000 2000 1f 1>V\r", '#', '>');
    watch.Sending(image.data(), image.size());
    if (c.LastBytesGone) watch.LastBytesHandedOver();
    for (const TStep& step : c.Unit) watch.Feed(step.Bytes.data(), step.Bytes.size(), step.AtMs);
    const int64_t last = c.Unit.back().AtMs;
    // A prompt is the prompt only once the unit has fallen quiet after it.
    if (!c.LastBytesGone && c.Refused && c.Unit.back().Bytes.back() != echo.back()) {
      EXPECT_EQ(watch.Refusal(last + 50), "");
    }
    EXPECT_EQ(!watch.Refusal(last + 1000).empty(), c.Refused) << watch.Refusal(last + 1000);
  }
}

}  // namespace
}  // namespace kestrel
