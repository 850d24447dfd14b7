#pragma once
// Watches what a unit sends between the upload line and the end of the
// data. A unit that takes an image is busy reading it: it sends no prompt,
// and does not echo the image back. One that shows its prompt, or echoes
// the image's bytes, did not take the upload line and reads the image as
// commands: the upload must stop before more of it reaches the unit.
//
// Thread contract: one thread at a time.

#include <cstddef>
#include <cstdint>
#include <string>

#include "loader/core/PromptJudge.h"

namespace kestrel {

class TUploadWatch {
 public:
  // `uploadLine`: the line that announced the upload; the unit may echo it.
  TUploadWatch(const std::string& uploadLine, char normalPrompt, char loaderPrompt);

  // Bytes the unit sent at `nowMs`.
  void Feed(const char* bytes, size_t count, int64_t nowMs);
  // Image bytes about to be handed to the port; their echo is looked for.
  void Sending(const uint8_t* bytes, size_t count);
  // The last bytes of the image are on their way: from now on a prompt may
  // be the unit's answer to the data, and only an echo tells a refusal.
  void LastBytesHandedOver() { FPromptsCount = false; }

  // Why the unit did not take the image, as a clause ("it echoed ...");
  // empty while nothing it sent says so.
  std::string Refusal(int64_t nowMs) const;

 private:
  void feed_byte(char c, int64_t nowMs);

  std::string FLine;  // the upload line, as the unit would echo it
  size_t FEchoed = 0;
  bool FEchoing = true;
  TPromptJudge FJudge;
  char FLoaderPrompt;
  bool FPromptsCount = true;
  std::string FRecent;  // the image bytes handed over lately
  std::string FTail;    // the unit's last bytes
  bool FEchoSeen = false;
};

}  // namespace kestrel
