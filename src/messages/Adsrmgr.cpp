#include "messages/Adsrmgr.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

namespace kestrel {
namespace {

constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kEntrySize = 12;

std::uint32_t Get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// The text of an identifier in a checked block; empty when absent, and also
// when its index entry points outside the block.
std::u16string LookupIn(const TAdRawResource& block, std::uint32_t ident, bool& found) {
  found = false;
  if (block.Data == nullptr) return {};
  const std::uint32_t count = Get32(block.Data + 4);
  std::int64_t low = 0;
  std::int64_t high = static_cast<std::int64_t>(count) - 1;
  while (low <= high) {
    const std::int64_t mid = (low + high) / 2;
    const std::uint8_t* entry = block.Data + kHeaderSize + kEntrySize * mid;
    const std::uint32_t id = Get32(entry);
    if (id < ident) {
      low = mid + 1;
    } else if (id > ident) {
      high = mid - 1;
    } else {
      const std::uint64_t offset = Get32(entry + 4);
      const std::uint64_t length = Get32(entry + 8);
      if (offset + 2 * length > block.Size) return {};
      std::u16string text(length, u'\0');
      const std::uint8_t* p = block.Data + offset;
      for (std::size_t i = 0; i < length; ++i)
        text[i] = static_cast<char16_t>(p[2 * i] | p[2 * i + 1] << 8);
      found = true;
      return text;
    }
  }
  return {};
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | c >> 6));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | c >> 12));
    out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | c >> 18));
    out.push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// UTF-16 to the 8-bit text of the system (UTF-8); a lone surrogate becomes
// the replacement character.
std::string ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      AppendUtf8(out,
                 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      AppendUtf8(out, 0xFFFD);
    } else {
      AppendUtf8(out, c);
    }
  }
  return out;
}

// One of the manager's own texts with its %s or %d filled in. They come from
// the program's block itself, which is always present and valid.
std::string ManagerText(std::uint32_t ident, std::string_view argument) {
  const auto program = ProgramStringBlock();
  bool found = false;
  std::string text = ToUtf8(LookupIn({program.data(), program.size()}, ident, found));
  for (const char* placeholder : {"%s", "%d"}) {
    const auto at = text.find(placeholder);
    if (at != std::string::npos) return text.replace(at, 2, argument);
  }
  return text;
}

std::mutex g_managerLock;
std::unique_ptr<TAdStringResource> g_manager;

}  // namespace

TAdStringResource::TAdStringResource(TAdModule module, std::string_view resourceName) {
  OpenLocked(module, resourceName);
}

void TAdStringResource::ChangeResource(TAdModule module, std::string_view resourceName) {
  std::unique_lock lock(Lock_);
  OpenLocked(module, resourceName);
}

void TAdStringResource::OpenLocked(TAdModule module, std::string_view resourceName) {
  // Closing an in-memory block only forgets it.
  Block_ = {};
  if (resourceName.empty()) return;

  auto found = FindRawResource(module, resourceName);
  if (!found && module != MainModule) found = FindRawResource(MainModule, resourceName);
  if (!found) throw EStringResourceError(ManagerText(srResourceNotFound, resourceName));
  if (found->Data == nullptr) throw EStringResourceError(ManagerText(srCannotOpen, resourceName));

  // Besides the signature, the index must lie inside the block: later
  // lookups read it unchecked.
  const TAdRawResource block = *found;
  const bool valid = block.Size >= kHeaderSize && std::memcmp(block.Data, "STR0", 4) == 0 &&
                     kHeaderSize + kEntrySize * std::uint64_t{Get32(block.Data + 4)} <= block.Size;
  if (!valid) throw EStringResourceError(ManagerText(srBadSignature, resourceName));
  Block_ = block;
}

std::u16string TAdStringResource::Lookup(std::uint32_t ident) const {
  bool found = false;
  std::u16string text;
  {
    std::shared_lock lock(Lock_);
    text = LookupIn(Block_, ident, found);
  }
  if (!found && ReportMissing())
    throw EStringResourceError(ManagerText(srStringNotFound, std::to_string(ident)));
  return text;
}

std::string TAdStringResource::GetString(std::uint32_t ident) const {
  return ToUtf8(Lookup(ident));
}

char* TAdStringResource::GetAsciiZ(std::uint32_t ident, char* buffer, std::size_t size) const {
  if (buffer == nullptr || size == 0) return buffer;
  std::u16string text = Lookup(ident);
  std::string converted = ToUtf8(text);
  while (converted.size() > size - 1) {
    text.pop_back();
    converted = ToUtf8(text);
  }
  std::memcpy(buffer, converted.data(), converted.size());
  buffer[converted.size()] = '\0';
  return buffer;
}

char16_t* TAdStringResource::GetWideChar(std::uint32_t ident, char16_t* buffer,
                                         std::size_t size) const {
  if (buffer == nullptr || size == 0) return buffer;
  const std::u16string text = Lookup(ident);
  const std::size_t n = std::min(text.size(), size - 1);
  std::copy_n(text.begin(), n, buffer);
  buffer[n] = u'\0';
  return buffer;
}

void InitAdResourceManager() {
  std::lock_guard lock(g_managerLock);
  if (!g_manager) g_manager = std::make_unique<TAdStringResource>(MainModule, AdsrmgrResourceName);
}

void DoneAdResourceManager() {
  std::lock_guard lock(g_managerLock);
  g_manager.reset();
}

TAdStringResource& AdResourceManager() {
  std::lock_guard lock(g_managerLock);
  if (!g_manager) g_manager = std::make_unique<TAdStringResource>(MainModule, AdsrmgrResourceName);
  return *g_manager;
}

}  // namespace kestrel
