#include "unitsim/UnitEngine.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>

namespace kestrel {

namespace {

constexpr size_t kMaxLine = 256;         // longer command lines are refused
constexpr size_t kMaxHeld = 64 * 1024;   // input held during a flash write
constexpr size_t kMaxFloodQueue = 4096;  // garbage waiting to go out

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Next blank-separated word of `rest`; `rest` keeps what follows it.
std::string_view NextWord(std::string_view& rest) {
  while (!rest.empty() && IsBlank(rest.front())) rest.remove_prefix(1);
  size_t end = 0;
  while (end < rest.size() && !IsBlank(rest[end])) ++end;
  std::string_view word = rest.substr(0, end);
  rest.remove_prefix(end);
  return word;
}

bool ParseDecimal(std::string_view s, int64_t& out) {
  if (s.empty() || s.size() > 18) return false;
  int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  out = v;
  return true;
}

bool ParseHex(std::string_view s, uint32_t& out) {
  if (s.empty() || s.size() > 8) return false;
  uint32_t v = 0;
  for (char c : s) {
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return false;
    v = v * 16 + static_cast<uint32_t>(d);
  }
  out = v;
  return true;
}

std::string Hex(uint32_t v) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%x", v);
  return buffer;
}

}  // namespace

const char* UploadResultText(TUploadResult result) {
  switch (result) {
    case TUploadResult::urOk:
      return "ok";
    case TUploadResult::urChecksumMismatch:
      return "checksum mismatch";
    case TUploadResult::urShortData:
      return "short data";
    case TUploadResult::urTooLarge:
      return "too large";
    case TUploadResult::urDroppedOut:
      return "dropped out";
    case TUploadResult::urRejected:
      return "rejected";
  }
  return "unknown";
}

TUnitEngine::TUnitEngine(TUnitOptions options, int64_t nowMs)
    : options_(std::move(options)),
      wire_(options_.BitsPerByte, options_.Baud, nowMs * 1000),
      flood_(options_.BitsPerByte, options_.Baud, nowMs * 1000) {
  std::string_view cmd = options_.LoaderCommand;
  while (!cmd.empty() && (cmd.back() == '\r' || cmd.back() == '\n')) cmd.remove_suffix(1);
  loaderLine_ = std::string(Trim(cmd));
  // Flood garbage: printable characters that are no prompt. Prompts that
  // use up all of them leave nothing to flood with.
  for (char c = 0x20; c < 0x7F; ++c) {
    if (options_.NormalPrompt.find(c) == std::string::npos &&
        options_.LoaderPrompt.find(c) == std::string::npos) {
      floodAlphabet_ += c;
    }
  }
}

const std::string& TUnitEngine::Prompt() const {
  return loaderMode_ ? options_.LoaderPrompt : options_.NormalPrompt;
}

void TUnitEngine::Send(std::string_view bytes, int64_t nowMs) {
  if (options_.Silent || phase_ == TPhase::phDead) return;
  // An idle wire starts sending now, not when it last went quiet.
  if (out_.empty() && wire_.FreeUs() < nowMs * 1000) wire_.Restart(nowMs * 1000);
  out_.append(bytes);
}

void TUnitEngine::Receive(std::string_view bytes, int64_t nowMs) {
  Advance(nowMs);
  if (options_.Silent || phase_ == TPhase::phDead) return;
  if (flashing_) {
    held_.append(bytes.substr(0, kMaxHeld - std::min(kMaxHeld, held_.size())));
    return;
  }
  Process(bytes, nowMs);
}

void TUnitEngine::Process(std::string_view bytes, int64_t nowMs) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (phase_ == TPhase::phDead) return;
    if (phase_ == TPhase::phData) {
      DataByte(static_cast<uint8_t>(bytes[i]), nowMs);
    } else {
      CommandByte(bytes[i], nowMs);
    }
    if (flashing_) {
      // The rest waits in the FIFO until the write is done.
      std::string_view rest = bytes.substr(i + 1);
      held_.insert(0, rest.substr(0, kMaxHeld - std::min(kMaxHeld, held_.size())));
      return;
    }
  }
}

void TUnitEngine::CommandByte(char c, int64_t nowMs) {
  switch (c) {
    case '\r':
      Send("\r\n", nowMs);
      HandleLine(nowMs);
      line_.clear();
      lineOverflow_ = false;
      return;
    case '\n':  // a terminal's CR LF counts once
      return;
    case '\b':
    case 0x7F:
      if (!line_.empty() && !lineOverflow_) {
        line_.pop_back();
        Send("\b \b", nowMs);
      }
      return;
    default:
      Send(std::string_view(&c, 1), nowMs);
      if (line_.size() < kMaxLine) {
        line_ += c;
      } else {
        lineOverflow_ = true;
      }
  }
}

std::string TUnitEngine::AnswerFor(const std::string& query) const {
  auto it = options_.Queries.find(query);
  if (it != options_.Queries.end()) return it->second;
  if (query == "LAST") return "LAST UPLOAD " + lastResult_;
  return {};
}

void TUnitEngine::HandleLine(int64_t nowMs) {
  std::string_view line = Trim(line_);
  if (lineOverflow_) {
    Send("ERROR: LINE TOO LONG\r\n", nowMs);
  } else if (line.empty()) {
    // a bare carriage return: just the prompt
  } else if (line == loaderLine_) {
    if (!options_.NoLoaderMode) loaderMode_ = true;
  } else if (std::string_view rest = line; NextWord(rest) == options_.UploadCommand) {
    if (!loaderMode_) {
      Send("ERROR: NOT IN LOADER MODE\r\n", nowMs);
    } else if (!options_.RefuseUpload.empty()) {
      Send(options_.RefuseUpload + "\r\n", nowMs);
      if (options_.RefuseLeaves) loaderMode_ = false;
    } else if (StartUpload(line_, nowMs)) {
      return;  // data follow; no prompt now
    } else {
      Send("ERROR: BAD UPLOAD LINE\r\n", nowMs);
    }
  } else if (std::string query(line); options_.Queries.count(query) || query == "LAST") {
    if (!options_.NoAnswer) {
      Send(AnswerFor(query), nowMs);
      Send("\r\n", nowMs);
    }
  } else {
    Send("ERROR: UNKNOWN COMMAND\r\n", nowMs);
  }
  Send(Prompt(), nowMs);
}

bool TUnitEngine::StartUpload(std::string_view line, int64_t nowMs) {
  std::string_view rest = line;
  TUnitUpload up;
  up.Command = std::string(NextWord(rest));
  up.Address = std::string(NextWord(rest));
  std::string_view size = NextWord(rest);
  std::string_view checksum = NextWord(rest);
  if (up.Address.empty() || !ParseDecimal(size, up.Size) ||
      !ParseHex(checksum, up.ChecksumAnnounced)) {
    return false;
  }
  // The version is the rest of the line after the single separating blank;
  // it may hold blanks of its own.
  if (!rest.empty() && IsBlank(rest.front())) rest.remove_prefix(1);
  up.Version = std::string(rest);
  up.ChecksumText = std::string(checksum);

  upload_ = std::move(up);
  sum_ = 0;
  lastDataMs_ = nowMs;
  finishAfterFlash_ = false;
  phase_ = TPhase::phData;
  Send("LOADING " + std::to_string(upload_.Size) + " BYTES AT " + upload_.Address + "\r\n", nowMs);
  if (upload_.Size <= options_.FlashSize) {
    upload_.Image.reserve(static_cast<size_t>(std::min<int64_t>(upload_.Size, 1 << 20)));
  }
  if (options_.DropoutAfter == 0) {
    FinishUpload(TUploadResult::urDroppedOut, nowMs);
  } else if (upload_.Size == 0) {
    FinishUpload(TUploadResult::urOk, nowMs);
  }
  return true;
}

void TUnitEngine::DataByte(uint8_t b, int64_t nowMs) {
  if (upload_.Received + 1 == options_.CorruptAt) b ^= 0xFF;
  sum_ += b;
  if (upload_.Size <= options_.FlashSize) upload_.Image.push_back(b);
  ++upload_.Received;
  lastDataMs_ = nowMs;

  if (upload_.Received == options_.DropoutAfter) {
    FinishUpload(TUploadResult::urDroppedOut, nowMs);
    return;
  }
  bool complete = upload_.Received == upload_.Size;
  if (complete || upload_.Received % options_.FlashBlock == 0) {
    finishAfterFlash_ = complete;
    StartFlash(nowMs);
    if (!flashing_ && complete) {
      finishAfterFlash_ = false;
      FinishUpload(TUploadResult::urOk, nowMs);
    }
  }
}

size_t TUnitEngine::InputRoom() const {
  if (flashing_) return 0;
  if (phase_ != TPhase::phData || (options_.FlashMs <= 0 && !options_.CtsStuck)) return SIZE_MAX;
  const int64_t toBlockEnd = options_.FlashBlock - upload_.Received % options_.FlashBlock;
  return static_cast<size_t>(std::min(toBlockEnd, upload_.Size - upload_.Received));
}

void TUnitEngine::StartFlash(int64_t nowMs) {
  if (options_.CtsStuck) {
    flashing_ = true;
    flashUntilMs_ = INT64_MAX;
  } else if (options_.FlashMs > 0) {
    flashing_ = true;
    flashUntilMs_ = nowMs + options_.FlashMs;
  }
}

void TUnitEngine::FinishUpload(TUploadResult result, int64_t nowMs) {
  TUnitUpload& up = upload_;
  up.EndedMs = nowMs;
  up.ChecksumComputed = static_cast<uint16_t>(sum_ & 0xFFFF);
  if (result == TUploadResult::urOk) {
    if (up.Size > options_.FlashSize) {
      result = TUploadResult::urTooLarge;
    } else if (up.ChecksumAnnounced != up.ChecksumComputed) {
      result = TUploadResult::urChecksumMismatch;
    } else if (!options_.Reject.empty()) {
      result = TUploadResult::urRejected;
    }
  }
  up.Result = result;
  if (result != TUploadResult::urOk) up.Image.clear();

  std::string upper = UploadResultText(result);
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  lastResult_ = up.Address + " " + upper;

  switch (result) {
    case TUploadResult::urOk:
      Send("UPLOAD OK " + std::to_string(up.Size) + " BYTES CHECKSUM " + Hex(up.ChecksumComputed) +
               "\r\n",
           nowMs);
      break;
    case TUploadResult::urChecksumMismatch:
      Send("UPLOAD FAILED: CHECKSUM " + Hex(up.ChecksumComputed) + ", EXPECTED " +
               Hex(up.ChecksumAnnounced) + "\r\n",
           nowMs);
      break;
    case TUploadResult::urShortData:
      Send("UPLOAD FAILED: SHORT DATA, " + std::to_string(up.Received) + " OF " +
               std::to_string(up.Size) + " BYTES\r\n",
           nowMs);
      break;
    case TUploadResult::urTooLarge:
      Send("UPLOAD FAILED: " + std::to_string(up.Size) + " BYTES DO NOT FIT\r\n", nowMs);
      break;
    case TUploadResult::urRejected:
      Send(options_.Reject + "\r\n", nowMs);
      break;
    case TUploadResult::urDroppedOut:
      break;  // says nothing, ever again
  }

  if (result == TUploadResult::urDroppedOut) {
    phase_ = TPhase::phDead;
    out_.clear();
    held_.clear();
  } else {
    phase_ = TPhase::phCommand;
    if (result != TUploadResult::urOk) loaderMode_ = false;
    Send(Prompt(), nowMs);
  }
  finished_.push_back(std::move(up));
  upload_ = TUnitUpload();
}

void TUnitEngine::Advance(int64_t nowMs) {
  if (flashing_ && nowMs >= flashUntilMs_) {
    flashing_ = false;
    lastDataMs_ = nowMs;
    if (finishAfterFlash_) {
      finishAfterFlash_ = false;
      FinishUpload(TUploadResult::urOk, nowMs);
    }
    // Take what arrived meanwhile; it may start another write.
    std::string held;
    held.swap(held_);
    if (phase_ != TPhase::phDead && !options_.Silent) Process(held, nowMs);
  }
  if (phase_ == TPhase::phData && !flashing_ && nowMs - lastDataMs_ >= options_.DataTimeoutMs) {
    FinishUpload(TUploadResult::urShortData, nowMs);
  }
  if (options_.Flood && !options_.Silent && phase_ != TPhase::phDead) {
    const int64_t due = flood_.Due(nowMs * 1000);
    if (due > 0) {
      flood_.Take(due);
      std::string garbage;
      for (int64_t n = 0;
           n < due && !floodAlphabet_.empty() && out_.size() + garbage.size() < kMaxFloodQueue;
           ++n) {
        floodSeed_ = floodSeed_ * 1103515245u + 12345u;
        garbage += floodAlphabet_[(floodSeed_ >> 16) % floodAlphabet_.size()];
      }
      if (!garbage.empty()) Send(garbage, nowMs);
    }
  }
}

std::string TUnitEngine::TakeOutput(int64_t nowMs) {
  std::string result;
  if (!options_.Pace) {
    result.swap(out_);
    return result;
  }
  if (out_.empty()) return result;
  const size_t n = static_cast<size_t>(
      std::min<int64_t>(wire_.Due(nowMs * 1000), static_cast<int64_t>(out_.size())));
  if (n == 0) return result;
  wire_.Take(static_cast<int64_t>(n));
  result = out_.substr(0, n);
  out_.erase(0, n);
  return result;
}

int64_t TUnitEngine::NextEventMs() const {
  int64_t next = INT64_MAX;
  if (flashing_) next = std::min(next, flashUntilMs_);
  if (phase_ == TPhase::phData && !flashing_) {
    next = std::min(next, lastDataMs_ + options_.DataTimeoutMs);
  }
  if (!out_.empty()) {
    next = std::min(next, options_.Pace ? (wire_.NextUs() + 999) / 1000 : INT64_MIN);
  }
  if (options_.Flood && !options_.Silent && phase_ != TPhase::phDead) {
    next = std::min(next, (flood_.NextUs() + 999) / 1000);
  }
  return next;
}

std::vector<TUnitUpload> TUnitEngine::TakeUploads() {
  std::vector<TUnitUpload> result;
  result.swap(finished_);
  return result;
}

}  // namespace kestrel
