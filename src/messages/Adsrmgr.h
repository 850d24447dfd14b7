#pragma once
// The string-resource manager: texts kept in a raw data block of their own.
//
// Block layout, little-endian: "STR0", entry count n, n index entries of
// (identifier, offset of the text from the start of the block, length in
// 16-bit characters) sorted by identifier, then the UTF-16 texts, not
// zero-terminated.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>

#include "messages/AdResources.h"
#include "messages/Adexcept.h"

namespace kestrel {

inline constexpr std::string_view AdsrmgrResourceName = "ADSRMGR_STRINGS";

// The manager's own texts in the program's block.
inline constexpr std::uint32_t srStringNotFound = 1;    // "String not found: %d"
inline constexpr std::uint32_t srCannotLock = 2;        // "Cannot lock resource"
inline constexpr std::uint32_t srResourceNotFound = 3;  // "String resource not found: %s"
inline constexpr std::uint32_t srCannotOpen = 4;        // "Unable to open string resource: %s"
inline constexpr std::uint32_t srBadSignature = 5;      // "Not a string resource: %s"

// The program's own block, exactly as stored (324 bytes).
std::span<const std::uint8_t> ProgramStringBlock();

class EStringResourceError : public Exception {
 public:
  using Exception::Exception;
};

// Thread contract: lookups from any thread; ChangeResource from any thread,
// it waits for running lookups (the block is guarded by a reader-writer lock).
class TAdStringResource {
 public:
  // Opens the named block at once; an empty name opens none.
  TAdStringResource(TAdModule module, std::string_view resourceName);
  TAdStringResource(const TAdStringResource&) = delete;
  TAdStringResource& operator=(const TAdStringResource&) = delete;
  ~TAdStringResource() = default;

  // Closes the current block and opens another (none for an empty name).
  // On failure the manager is left without a block and the error is raised.
  void ChangeResource(TAdModule module, std::string_view resourceName);

  // The text in 8-bit characters (UTF-8), empty for an absent identifier.
  std::string GetString(std::uint32_t ident) const;
  // At most size - 1 bytes and a zero; the text is shortened one 16-bit
  // character at a time until it fits. Returns buffer.
  char* GetAsciiZ(std::uint32_t ident, char* buffer, std::size_t size) const;
  // At most size - 1 16-bit characters and a zero. Returns buffer.
  char16_t* GetWideChar(std::uint32_t ident, char16_t* buffer, std::size_t size) const;

  // When on, an absent identifier raises instead of giving an empty text.
  bool ReportMissing() const { return ReportMissing_.load(std::memory_order_relaxed); }
  void SetReportMissing(bool on) { ReportMissing_.store(on, std::memory_order_relaxed); }

 private:
  void OpenLocked(TAdModule module, std::string_view resourceName);
  std::u16string Lookup(std::uint32_t ident) const;

  mutable std::shared_mutex Lock_;
  TAdRawResource Block_;  // Data == nullptr: no block open
  std::atomic<bool> ReportMissing_{false};
};

// The program-wide manager on the program's own block. Init at start before
// any window exists and Done at exit, both on the main thread while no
// lookup runs; AdResourceManager() from any thread, creating the manager on
// first use when Init has not run.
void InitAdResourceManager();
void DoneAdResourceManager();
TAdStringResource& AdResourceManager();

}  // namespace kestrel
