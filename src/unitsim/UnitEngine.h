#pragma once
// The simulated unit's console and flash loader, as a pure state machine:
// bytes from the loader go in, bytes for the loader come out, and the clear-
// to-send level, finished uploads and timers are read back. Time is whatever
// the caller passes in (milliseconds from any fixed start), so tests drive it
// without threads, sleeps or serial code.
//
// What the unit does:
//   - echoes command input (a carriage return as CR LF; backspace rubs out);
//   - a carriage return ends a line; every line is answered, ending with the
//     current prompt ("#" normally, ">" in loader mode);
//   - the loader-mode command line enters loader mode;
//   - a query word is answered with its line, then the prompt;
//   - in loader mode the upload line "CMD ADDRESS SIZE CHECKSUM VERSION"
//     (size decimal, checksum hexadecimal) starts the data phase, which takes
//     exactly SIZE bytes without echo; anything after them is command input
//     again. After every flash block, and after the last bytes, CTS is low
//     for the flash time and no input is taken;
//   - the image is then checked against size and the 16-bit byte sum. A good
//     upload ends with a result line and the loader prompt. A bad one (wrong
//     checksum, too large, or short: no data for the data timeout) ends with
//     a result line, leaves loader mode and shows the normal prompt, so a
//     loader that checks for the loader prompt afterwards sees the failure.
//   - anything else gets a short error line and the prompt.
//
// Thread contract: not thread-safe; one owner thread drives it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "unitsim/UnitOptions.h"
#include "unitsim/UnitWire.h"

namespace kestrel {

enum class TUploadResult {
  urOk,
  urChecksumMismatch,
  urShortData,
  urTooLarge,
  urDroppedOut,
  urRejected
};

// Stable lower-case words for records and the LAST query.
const char* UploadResultText(TUploadResult result);

struct TUnitUpload {
  int64_t EndedMs = 0;
  std::string Command;
  std::string Address;
  std::string Version;
  int64_t Size = 0;                // announced
  int64_t Received = 0;            // data bytes taken
  std::string ChecksumText;        // as announced
  uint32_t ChecksumAnnounced = 0;  // parsed from ChecksumText
  uint16_t ChecksumComputed = 0;   // byte sum of what was received, modulo 65536
  TUploadResult Result = TUploadResult::urOk;
  std::vector<uint8_t> Image;  // the stored image; empty unless Result is urOk
};

class TUnitEngine {
 public:
  explicit TUnitEngine(TUnitOptions options, int64_t nowMs = 0);

  // Bytes from the loader. Input that arrives while the unit is writing
  // flash is held (as a UART FIFO would) and taken when the write ends.
  void Receive(std::string_view bytes, int64_t nowMs);
  void Receive(const uint8_t* data, size_t n, int64_t nowMs) {
    Receive(std::string_view(reinterpret_cast<const char*>(data), n), nowMs);
  }

  // Runs the timers: flash writes ending, the data timeout, flooding.
  void Advance(int64_t nowMs);

  // Bytes for the loader that are due by now (all of them unless paced).
  std::string TakeOutput(int64_t nowMs);

  // Earliest time at which Advance or TakeOutput has something to do;
  // INT64_MAX when nothing happens without input.
  int64_t NextEventMs() const;

  bool Cts() const { return !flashing_; }
  // False while a flash write runs: a binding stops reading then.
  bool AcceptsInput() const { return !flashing_; }
  // Bytes the unit takes before it next stops to write flash: the rest of
  // the flash block (or of the upload) during an upload's data, 0 while it
  // writes, no limit otherwise. A binding reads no more than this, so that
  // what the unit cannot take yet stays on the line, as it would behind the
  // unit's CTS.
  size_t InputRoom() const;
  bool InLoaderMode() const { return loaderMode_; }
  bool ReceivingData() const { return phase_ == TPhase::phData; }
  bool DroppedOut() const { return phase_ == TPhase::phDead; }

  // Uploads finished since the last call, in order.
  std::vector<TUnitUpload> TakeUploads();

  const TUnitOptions& Options() const { return options_; }

 private:
  enum class TPhase { phCommand, phData, phDead };

  void Process(std::string_view bytes, int64_t nowMs);
  void CommandByte(char c, int64_t nowMs);
  void HandleLine(int64_t nowMs);
  bool StartUpload(std::string_view line, int64_t nowMs);
  void DataByte(uint8_t b, int64_t nowMs);
  void StartFlash(int64_t nowMs);
  void FinishUpload(TUploadResult result, int64_t nowMs);
  void Send(std::string_view bytes, int64_t nowMs);
  const std::string& Prompt() const;
  std::string AnswerFor(const std::string& query) const;

  TUnitOptions options_;
  std::string loaderLine_;  // the loader-mode command without its line end
  TPhase phase_ = TPhase::phCommand;
  bool loaderMode_ = false;

  std::string line_;
  bool lineOverflow_ = false;

  TUnitUpload upload_;
  uint32_t sum_ = 0;
  int64_t lastDataMs_ = 0;
  bool finishAfterFlash_ = false;

  bool flashing_ = false;
  int64_t flashUntilMs_ = 0;  // INT64_MAX once stuck
  std::string held_;          // input that arrived while flashing

  std::string out_;
  TUnitWire wire_;   // paced output
  TUnitWire flood_;  // flood: the garbage made so far
  uint32_t floodSeed_ = 12345;
  std::string floodAlphabet_;  // printable characters that are no prompt

  std::string lastResult_ = "NONE";
  std::vector<TUnitUpload> finished_;
};

}  // namespace kestrel
