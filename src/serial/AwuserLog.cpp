// The dispatch log and the dispatcher's log operations.

#include "serial/AwuserLog.h"

#include <sys/utsname.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <new>
#include <vector>

#include "messages/AdErrorCodes.h"
#include "messages/Adexcept.h"
#include "serial/Awuser.h"
#include "serial/AwuserRecordText.h"
#include "serial/EventTimer.h"

namespace kestrel {

namespace {

constexpr int kTypeNames = 15001;
constexpr int kSubTypeNames = 15100;
constexpr int kColumnHeadings = 15501;
constexpr int kModemBitNames = 15601;
// The fields before the attached bytes take 44 characters.
constexpr int kAttachedColumn = 45;
constexpr int kAttachedIndent = 44;

void PutU32(uint8_t* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t GetU32(const uint8_t* at) {
  return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

std::string NameOrNumber(int message, const char* kind, int value) {
  std::string name = MessageNumberToString(message);
  if (name.empty()) name = kind + std::to_string(value);
  return name;
}

std::string StatusTypeText(uint8_t type) {
  static const char* const kTexts[] = {"(Not active)",         "(Modem status)",
                                       "(Line status)",        "(Output buffer free)",
                                       "(Output buffer used)", "(Output sent)"};
  if (type < std::size(kTexts)) return kTexts[type];
  return "(Status type " + std::to_string(type) + ")";
}

constexpr const char* kCompiler =
#if defined(__clang__)
    "clang " __clang_version__;
#elif defined(__GNUC__)
    "GNU C++ " __VERSION__;
#else
    "C++";
#endif

std::string OperatingSystem() {
  struct utsname u {};
  if (::uname(&u) != 0) return "unknown";
  return std::string(u.sysname) + " " + u.release + " " + u.version;
}

std::string Now() {
  const std::time_t t = std::time(nullptr);
  std::tm local{};
  localtime_r(&t, &local);
  char text[32];
  std::strftime(text, sizeof text, "%d/%m/%y, %H:%M:%S", &local);
  return text;
}

}  // namespace

TApdDispatchLog::TApdDispatchLog(uint32_t size)
    : Store_(std::make_unique<uint8_t[]>(size)), Size_(size), Free_(size) {}

void TApdDispatchLog::Clear() {
  Write_ = Read_ = 0;
  Free_ = Size_;
}

void TApdDispatchLog::Put(const uint8_t* bytes, uint32_t length) {
  if (length == 0) return;
  const uint32_t first = std::min(length, Size_ - Write_);
  std::memcpy(Store_.get() + Write_, bytes, first);
  std::memcpy(Store_.get(), bytes + first, length - first);
  Write_ = (Write_ + length) % Size_;
  Free_ -= length;
}

void TApdDispatchLog::Get(uint32_t offset, uint8_t* bytes, uint32_t length) const {
  if (length == 0) return;
  offset %= Size_;
  const uint32_t first = std::min(length, Size_ - offset);
  std::memcpy(bytes, Store_.get() + offset, first);
  std::memcpy(bytes + first, Store_.get(), length - first);
}

uint32_t TApdDispatchLog::EntrySizeAt(uint32_t offset) const {
  uint8_t header[HeaderSize];
  Get(offset, header, HeaderSize);
  return HeaderSize + GetU32(header + 12);
}

void TApdDispatchLog::Push(uint8_t type, uint8_t subType, uint32_t time, uint32_t data,
                           const void* attached, uint32_t length) {
  if (HeaderSize >= Size_) return;
  // Header and attached bytes go in together: making room for the bytes
  // must never drop the entry's own header.
  if (!attached || length >= Size_ - HeaderSize) length = 0;
  const uint32_t total = HeaderSize + length;
  while (Free_ < total) {
    const uint32_t oldest = EntrySizeAt(Read_);
    Read_ = (Read_ + oldest) % Size_;
    Free_ += oldest;
  }
  uint8_t header[HeaderSize] = {type, subType, 0, 0};
  PutU32(header + 4, time);
  PutU32(header + 8, data);
  PutU32(header + 12, length);
  Put(header, HeaderSize);
  if (length > 0) Put(static_cast<const uint8_t*>(attached), length);
}

int TApdDispatchLog::Write(const std::string& file, bool hex, bool allHex, bool append,
                           const std::string& device) const {
  TApdRecordFile out(file, append);
  if (out.OpenResult() != 0) return out.OpenResult();
  out.Write("Kestrel serial port dispatch log\n");
  out.Write(std::string("Compiler : ") + kCompiler + "\n");
  out.Write("Operating System : " + OperatingSystem() + "\n");
  out.Write("Device: " + device + "\n");
  out.Write("Date/time: " + Now() + "\n");
  out.Write(MessageNumberToString(kColumnHeadings) + "\n");
  out.Write(MessageNumberToString(kColumnHeadings + 1) + "\n");

  std::vector<uint8_t> attached;
  uint32_t offset = Read_;
  for (uint32_t used = Size_ - Free_; used > 0;) {
    uint8_t header[HeaderSize];
    Get(offset, header, HeaderSize);
    const uint8_t type = header[0];
    const uint8_t subType = header[1];
    const uint32_t time = GetU32(header + 4);
    const uint32_t data = GetU32(header + 8);
    const uint32_t length = GetU32(header + 12);
    attached.resize(length);
    Get(offset + HeaderSize, attached.data(), length);
    offset = (offset + HeaderSize + length) % Size_;
    used -= HeaderSize + length;

    // Seconds with three decimals, at least four digits before the point.
    char seconds[24];
    std::snprintf(seconds, sizeof seconds, "%04u.%03u", time / 1000, time % 1000);
    const std::string typeName = NameOrNumber(kTypeNames + type, "Type", type);
    const std::string subName =
        subType == 0 ? "" : NameOrNumber(kSubTypeNames + subType, "Sub", subType);
    char fields[128];
    const int n = std::snprintf(fields, sizeof fields, "%8s  %-8s  %-12s  %08x  ", seconds,
                                typeName.c_str(), subName.c_str(), data);
    out.Write(fields, size_t(std::clamp(n, 0, int(sizeof fields) - 1)));

    const bool statusChange = (type == dtTriggerAlloc || type == dtTriggerDispose) &&
                              subType == dstStatusTrigger && length >= 1;
    if (statusChange) {
      out.Write(StatusTypeText(attached[0]));
    } else {
      TApdByteColumns columns(out, kAttachedColumn, kAttachedIndent);
      for (uint8_t b : attached) {
        // All-hex still shows notes as the text they are.
        if (allHex && type == dtUser)
          columns.Plain(b);
        else
          columns.Byte(b, hex, allHex);
      }
    }
    if (subType == dstModemStatus) {
      std::string names;
      for (int bit = 0; bit < 8; ++bit)
        if (data & (1u << bit)) names += MessageNumberToString(kModemBitNames + bit);
      out.Write("(" + names + ")");
    }
    out.Put('\n');
  }
  return out.Close();
}

// ---------------------------------------------------------------------------
// The dispatcher's side

void TApdBaseDispatcher::SetLogRecording(bool on) {
  if (Log_) Log_->Recording = on;
  LogActive_ = Log_ && Log_->Recording;
}

int TApdBaseDispatcher::InitDispatchLogging(uint32_t size) {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  if (Log_) {
    Log_->Clear();
  } else {
    if (size == 0 || size > TApdDispatchLog::MaxSize) return ecBadArgument;
    try {
      Log_ = std::make_unique<TApdDispatchLog>(size);
    } catch (const std::bad_alloc&) {
      return ecOutOfMemory;
    }
  }
  SetLogRecording(true);
  return 0;
}

int TApdBaseDispatcher::StartDispatchLogging() {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  SetLogRecording(true);
  return 0;
}

int TApdBaseDispatcher::StopDispatchLogging() {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  SetLogRecording(false);
  return 0;
}

int TApdBaseDispatcher::ClearDispatchLogging() {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  if (Log_) Log_->Clear();
  return 0;
}

int TApdBaseDispatcher::AbortDispatchLogging() {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  Log_.reset();
  SetLogRecording(false);
  return 0;
}

int TApdBaseDispatcher::AddDispatchEntry(int type, int subType, uint32_t length, const void* bytes,
                                         uint32_t data) {
  LogDispatch(type, subType, data, bytes, static_cast<int>(std::min<uint32_t>(length, INT32_MAX)));
  return 0;
}

int TApdBaseDispatcher::AddStringToLog(std::string_view text) {
  LogDispatch(dtUser, dstNone, 0, text.data(), static_cast<int>(text.size()));
  return 0;
}

void TApdBaseDispatcher::LogDispatch(int type, int subType, uint32_t data, const void* attached,
                                     int n) {
  if (!LogActive_.load(std::memory_order_relaxed)) return;
  const uint32_t time = AdTimeGetTime() - LogTimeBase_;
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  if (!Log_ || !Log_->Recording) return;
  Log_->Push(static_cast<uint8_t>(type), static_cast<uint8_t>(subType), time, data, attached,
             n > 0 ? static_cast<uint32_t>(n) : 0);
}

int TApdBaseDispatcher::WriteDispatchLog(const std::string& file, bool hex, bool allHex,
                                         bool append) {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  int rc = 0;
  if (Log_ && !Log_->Empty()) {
    SetLogRecording(false);
    rc = Log_->Write(file, hex, allHex, append, DeviceName_);
  }
  // Written or not, the log is over.
  Log_.reset();
  SetLogRecording(false);
  return rc;
}

int TApdBaseDispatcher::DumpDispatchLog(const std::string& file, bool hex, bool allHex) {
  return WriteDispatchLog(file, hex, allHex, false);
}

int TApdBaseDispatcher::AppendDispatchLog(const std::string& file, bool hex, bool allHex) {
  return WriteDispatchLog(file, hex, allHex, true);
}

}  // namespace kestrel
