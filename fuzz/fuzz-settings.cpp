// The settings reader on any file content: nothing overruns, and whatever it
// hands on stays within what the reader promises.
#include <cstdint>
#include <cstdio>
#include <string>

#include "FuzzCheck.h"
#include "loader/core/LoaderSettings.h"

namespace {

using namespace kestrel;

class CheckingTarget final : public TSettingsTarget {
 public:
  void ShowMessage(const std::string& text) override { FUZZ_CHECK(!text.empty()); }
  void SetBaud(long baud) override {
    static const long kRates[] = {1200,   2400,    4800,    9600,    19200,   38400,
                                  57600,  115200,  230400,  460800,  500000,  576000,
                                  921600, 1000000, 1500000, 2000000, 3000000, 4000000};
    bool known = false;
    for (long rate : kRates) known |= baud == rate;
    FUZZ_CHECK(known);
  }
  void SetDataBits(int bits) override { FUZZ_CHECK(bits >= 5 && bits <= 8); }
  void SetParity(int parity) override { FUZZ_CHECK(parity >= 0 && parity <= 4); }
  void SetStopBits(int bits) override { FUZZ_CHECK(bits == 1 || bits == 2); }
  void SetTerminalVisible(bool) override {}
  void SetTerminalBackground(int choice) override { FUZZ_CHECK(choice >= 0 && choice <= 5); }
  void SetTerminalTextColor(int choice) override { FUZZ_CHECK(choice >= 0 && choice <= 5); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // fmemopen wants a buffer it may call its own; an empty one is refused.
  std::string content(reinterpret_cast<const char*>(data), size);
  content.push_back('\0');
  std::FILE* file = ::fmemopen(content.data(), size == 0 ? 1 : size, "r");
  if (file == nullptr) return 0;
  TLoaderSettings settings;
  CheckingTarget target;
  read_settings_from(file, settings, target);
  std::fclose(file);

  FUZZ_CHECK(settings.ConfiguredComNumber >= 0);
  FUZZ_CHECK(settings.AutoScriptName.size() <= kMaxAutoScriptName);
  FUZZ_CHECK(settings.AutoScriptName.empty() ||
             (settings.AutoScriptName[0] != ' ' && settings.AutoScriptName[0] != '\t'));
  FUZZ_CHECK(settings.AutoScriptName.find('\0') == std::string::npos);
  FUZZ_CHECK(!settings.LoaderModeCommand.empty() && settings.LoaderModeCommand.back() == '\r');
  FUZZ_CHECK(settings.LoaderModeCommand.size() <= kMaxSettingsValue);
  FUZZ_CHECK(!settings.UploadCommand.empty() && settings.UploadCommand.size() <= kMaxSettingsValue);

  // The number reader on the raw bytes: saturates, never overflows.
  const long n = settings_atol(std::string(reinterpret_cast<const char*>(data), size));
  (void)n;
  return 0;
}
