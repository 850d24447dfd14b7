#include "messages/Adexcept.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "messages/AdMessageTable.h"

namespace kestrel {
namespace {

// Cuts text to at most MaxMessageLen bytes without splitting a UTF-8
// sequence (translated system texts may carry them).
std::string Shorten(std::string text) {
  if (text.size() <= MaxMessageLen) return text;
  std::size_t cut = MaxMessageLen;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  text.resize(cut);
  return text;
}

// The device layer reports "bad argument" with the number 87 whatever the
// platform calls it; every other number is the platform's own.
int PlatformErrorNumber(long long n) {
  if (n == -ecInvalidParameter) return EINVAL;
  return n > INT_MAX ? 0 : static_cast<int>(n);
}

// strerror_r comes in a GNU and an XSI flavour; both are thread-safe.
[[maybe_unused]] const char* StrerrorResult(int rc, const char* buffer) {
  return rc == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* StrerrorResult(const char* text, const char*) {
  return text;
}

// The platform's text for an error number, or empty when it has none.
std::string OsErrorText(long long n) {
  const int err = PlatformErrorNumber(n);
  if (err <= 0) return {};
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
  // An unknown number has no symbolic name; its text would only say so.
  if (strerrorname_np(err) == nullptr) return {};
#endif
  char buffer[512];
  buffer[0] = '\0';
  const char* text = StrerrorResult(strerror_r(err, buffer, sizeof buffer), buffer);
  if (text == nullptr) return {};
  return NormaliseMessageText(text);
}

long long AbsoluteValue(int code) {
  return code < 0 ? -static_cast<long long>(code) : code;
}

// Raises the class the code table names for code; returns when it names none.
void RaiseClassOf(int code) {
  switch (code) {
    case ecBadArgument:
      throw EBadArgument(code);
    case ecGotQuitMsg:
      throw EGotQuitMsg(code);
    case ecBufferTooBig:
      throw EBufferTooBig(code);
    case ecPortNotAssigned:
      throw EPortNotAssigned(code);
    case ecInternal:
      throw EInternal(code);
    case ecModemNotAssigned:
      throw EModemNotAssigned(code);
    case ecPhonebookNotAssigned:
      throw EPhonebookNotAssigned(code);
    case ecCannotUseWithWinSock:
      throw ECannotUseWithWinSock(code);

    case ecBadId:
      throw EBadId(code);
    case ecBaudRate:
      throw EBaudRate(code);
    case ecByteSize:
      throw EByteSize(code);
    case ecDefault:
      throw EDefault(code);
    case ecHardware:
      throw EHardware(code);
    case ecMemory:
      throw EMemory(code);
    case ecCommNotOpen:
      throw ECommNotOpen(code);
    case ecAlreadyOpen:
      throw EAlreadyOpen(code);
    case ecNoHandles:
      throw ENoHandles(code);
    case ecNoTimers:
      throw ENoTimers(code);
    case ecNoPortSelected:
      throw ENoPortSelected(code);
    case ecNotOpenedByTapi:
      throw ENotOpenedByTapi(code);

    case ecNullApi:
      throw ENullApi(code);
    case ecRegisterHandlerFailed:
      throw ERegisterHandlerFailed(code);
    case ecPutBlockFail:
      throw EPutBlockFail(code);
    case ecGetBlockFail:
      throw EGetBlockFail(code);
    case ecOutputBufferTooSmall:
      throw EOutputBufferTooSmall(code);
    case ecBufferIsEmpty:
      throw EBufferIsEmpty(code);
    case ecTracingNotEnabled:
      throw ETracingNotEnabled(code);
    case ecLoggingNotEnabled:
      throw ELoggingNotEnabled(code);
    case ecBaseAddressNotSet:
      throw EBaseAddressNotSet(code);
    case ecDeviceLost:
      throw EDeviceLost(code);

    case ecNoMoreTriggers:
      throw ENoMoreTriggers(code);
    case ecTriggerTooLong:
      throw ETriggerTooLong(code);
    case ecBadTriggerHandle:
      throw EBadTriggerHandle(code);
    default:
      return;
  }
}

}  // namespace

EAPDException::EAPDException(int code)
    : Exception(KelpLoadStr(MapCodeToStringID(typeid(EAPDException), code))), ErrorCode_(code) {}

std::string MessageNumberToString(int code) {
  const int key = std::abs(static_cast<int>(static_cast<int16_t>(code)));
  const auto table = AdMessageTable();
  const auto row = std::lower_bound(table.begin(), table.end(), key,
                                    [](const TAdMessageRow& r, int k) { return r.Code < k; });
  if (row == table.end() || row->Code != key) return {};
  return Shorten(row->Text);
}

std::string KelpLoadStr(int code) {
  std::string text = MessageNumberToString(code);
  if (text.empty()) text = OsErrorText(AbsoluteValue(code));
  return Shorten(std::move(text));
}

std::string ErrorMsg(int code) {
  return KelpLoadStr(code);
}

char* KelpLoadZ(char* buffer, std::size_t size, int code) {
  if (buffer == nullptr || size == 0) return buffer;
  const std::string text = KelpLoadStr(code);
  const std::size_t n = std::min(text.size(), size - 1);
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return buffer;
}

int MapCodeToStringID(const std::type_info&, int code) {
  // |INT_MIN| does not fit; no code of ours comes near it.
  if (code == INT_MIN) return INT_MAX;
  return code < 0 ? -code : code;
}

std::string NormaliseMessageText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const char ch = static_cast<unsigned char>(c) < 32 ? ' ' : c;
    if (ch == ' ' && !out.empty() && out.back() == ' ') continue;
    out.push_back(ch);
  }
  return out;
}

int CheckException(const TAdComponentState* component, int code) {
  if (code >= 0) return code;
  if (component != nullptr && component->Loading()) return code;

  RaiseClassOf(code);

  if (code >= -162 && code <= -2) {
    const int n = -code;
    if (code == ecOutOfMemory) throw EOutOfMemory();
    throw EInOutError(KelpLoadStr(n), n);
  }

  throw EAPDException("Kelp exception");
}

}  // namespace kestrel
