#pragma once
// Raw data resources compiled into the program, found by module and name.
// The program's main module always holds "ADSRMGR_STRINGS"; other code (and
// tests) may register further blocks under modules of their own.
//
// Thread contract: any thread; the registry takes its own lock. Registered
// data must stay alive until it is unregistered.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kestrel {

using TAdModule = std::uintptr_t;
inline constexpr TAdModule MainModule = 0;

struct TAdRawResource {
  const std::uint8_t* Data = nullptr;  // nullptr: present but cannot be loaded
  std::size_t Size = 0;
};

// Adds or replaces a resource. Names compare without regard to ASCII case.
void RegisterRawResource(TAdModule module, std::string_view name, TAdRawResource resource);
void UnregisterRawResource(TAdModule module, std::string_view name);

// The resource of that name in that module only.
std::optional<TAdRawResource> FindRawResource(TAdModule module, std::string_view name);

}  // namespace kestrel
