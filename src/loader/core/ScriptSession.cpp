#include "loader/core/ScriptSession.h"

#include <algorithm>
#include <limits>

namespace kestrel {

int script_milliseconds(long n, long factor) {
  const long long ms = std::clamp<long long>(n, -(1LL << 40), 1LL << 40) * factor;
  return int(
      std::clamp<long long>(ms, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

void TScriptSession::ClearLines() {
  for (auto& slot : Lines) slot.fill('\0');
  CurrentSlot = 0;
  LineFill = 0;
  LineLength = 0;
}

void TScriptSession::Store(std::string_view text) {
  auto& slot = Lines[CurrentSlot];
  slot.fill('\0');
  text = text.substr(0, kScriptMaxCommandLine);
  std::copy(text.begin(), text.end(), slot.begin());
  LineFill = int(text.size());
}

void TScriptSession::Store(const TScriptCommandLine& line) {
  Store(line.Text);
  LineNumber = line.LineNumber;
  LineLength = line.Length;
}

std::optional<std::string> TScriptSession::CurrentLine() {
  auto& slot = Lines[CurrentSlot];
  if (slot[0] != '_') return std::nullopt;
  slot[LineFill] = '\0';
  return std::string(slot.data());
}

void TScriptSession::Advance() {
  if (CurrentSlot < kScriptSlotCount - 1) ++CurrentSlot;
  LineFill = 0;
}

void TScriptSession::LoadPause(long seconds) {
  if (seconds != 0) PostUploadPause = script_milliseconds(seconds, 1000);
}

void TScriptSession::TakeResponse(std::string_view captured) {
  LastResponse.clear();
  for (char c : captured)
    if (c != '\r' && c != '\n') LastResponse += c;
}

}  // namespace kestrel
