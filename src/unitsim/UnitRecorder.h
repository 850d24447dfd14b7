#pragma once
// What the simulated unit leaves on disk, each only when asked for:
//   - images: <dir>/<address>.bin, the address made safe as a file name
//     (anything but letters, digits, '.', '-' and '_' becomes '_'), so an
//     address can never name a path outside the folder;
//   - upload records: one JSON object per line, appended;
//   - a transcript: every byte received ("rx") and sent ("tx"), with the
//     milliseconds since the unit started, in hex and as text, 16 a line.
//
// Thread contract: one owner thread.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "unitsim/UnitEngine.h"
#include "unitsim/UnitOptions.h"

namespace kestrel {

class TUnitRecorder {
 public:
  explicit TUnitRecorder(const TUnitOptions& options);

  void Received(std::string_view bytes, int64_t ms) { Log("rx", bytes, ms); }
  void Sent(std::string_view bytes, int64_t ms) { Log("tx", bytes, ms); }
  // Stores a good upload's image and appends the record of any upload.
  void Uploaded(const TUnitUpload& upload);

  // The file name an image of this address gets inside the folder.
  static std::string ImageFileName(std::string_view address);
  // One upload as a JSON object (no line end); `image` is its file or empty.
  static std::string RecordJson(const TUnitUpload& upload, std::string_view image);

  // The last file error, or empty; files that cannot be written never stop
  // the unit.
  const std::string& Error() const { return error_; }

 private:
  struct TFileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  using TFile = std::unique_ptr<std::FILE, TFileCloser>;

  void Log(const char* direction, std::string_view bytes, int64_t ms);
  std::string WriteImage(const TUnitUpload& upload);

  std::string dir_;
  TFile record_;
  TFile transcript_;
  std::string error_;
};

}  // namespace kestrel
