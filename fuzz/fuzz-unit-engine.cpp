// The simulated unit's engine on any options and any byte stream at any
// pace: nothing crashes or hangs, and what it reports about uploads holds.
//
// Input: the option text (as after "sim:") up to the first newline, then
// chunks, each a header byte (low six bits: length; high two: how far the
// clock moves first) and that many bytes for the unit.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "unitsim/UnitEngine.h"

namespace {

using namespace kestrel;

void CheckUpload(const TUnitUpload& up) {
  FUZZ_CHECK(up.Received >= 0 && up.Received <= up.Size);
  uint32_t sum = 0;
  for (uint8_t b : up.Image) sum += b;
  if (up.Result == TUploadResult::urOk) {
    FUZZ_CHECK(up.Received == up.Size);
    FUZZ_CHECK(static_cast<int64_t>(up.Image.size()) == up.Size);
    FUZZ_CHECK((sum & 0xFFFF) == up.ChecksumComputed);
    FUZZ_CHECK(up.ChecksumAnnounced == up.ChecksumComputed);
  } else {
    FUZZ_CHECK(up.Image.empty());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t newline = input.find('\n');
  TUnitOptions options;
  if (newline != std::string_view::npos) {
    std::string error;
    ParseUnitOptions(input.substr(0, newline), options, error);
    input.remove_prefix(newline + 1);
  }
  // Files are the recorder's business, not the engine's.
  options.Dir.clear();
  options.Record.clear();
  options.Transcript.clear();

  int64_t now = 1000;
  TUnitEngine unit(options, now);
  size_t produced = 0;
  while (!input.empty()) {
    const auto header = static_cast<uint8_t>(input[0]);
    input.remove_prefix(1);
    switch (header >> 6) {
      case 0:
        break;
      case 1:
        now += 1;
        break;
      case 2:
        now += 250;
        break;
      case 3: {
        // To the unit's next timer, or a long silence when it has none.
        const int64_t next = unit.NextEventMs();
        now = next == INT64_MAX ? now + 60000 : std::clamp(next, now, now + 3600000);
        break;
      }
    }
    const size_t n = std::min<size_t>(header & 0x3F, input.size());
    unit.Receive(input.substr(0, n), now);
    input.remove_prefix(n);
    unit.Advance(now);
    produced += unit.TakeOutput(now).size();
    for (const auto& up : unit.TakeUploads()) CheckUpload(up);
    FUZZ_CHECK(unit.Cts() == unit.AcceptsInput());
  }
  // Whatever is still pending comes out once its time has come.
  for (int i = 0; i < 4 && unit.NextEventMs() != INT64_MAX; ++i) {
    now = std::clamp(unit.NextEventMs(), now, now + 3600000);
    unit.Advance(now);
    produced += unit.TakeOutput(now).size();
    for (const auto& up : unit.TakeUploads()) CheckUpload(up);
  }
  (void)produced;
  return 0;
}
