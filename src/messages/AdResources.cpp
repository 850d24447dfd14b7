#include "messages/AdResources.h"

#include <cctype>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "messages/Adsrmgr.h"

namespace kestrel {
namespace {

using TKey = std::pair<TAdModule, std::string>;

std::string UpperName(std::string_view name) {
  std::string upper(name);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

struct TRegistry {
  std::mutex Lock;
  std::map<TKey, TAdRawResource> Resources;

  TRegistry() {
    const auto block = ProgramStringBlock();
    Resources[{MainModule, UpperName(AdsrmgrResourceName)}] = {block.data(), block.size()};
  }
};

TRegistry& Registry() {
  static TRegistry registry;
  return registry;
}

}  // namespace

void RegisterRawResource(TAdModule module, std::string_view name, TAdRawResource resource) {
  TRegistry& r = Registry();
  std::lock_guard lock(r.Lock);
  r.Resources[{module, UpperName(name)}] = resource;
}

void UnregisterRawResource(TAdModule module, std::string_view name) {
  TRegistry& r = Registry();
  std::lock_guard lock(r.Lock);
  r.Resources.erase({module, UpperName(name)});
}

std::optional<TAdRawResource> FindRawResource(TAdModule module, std::string_view name) {
  TRegistry& r = Registry();
  std::lock_guard lock(r.Lock);
  const auto it = r.Resources.find({module, UpperName(name)});
  if (it == r.Resources.end()) return std::nullopt;
  return it->second;
}

}  // namespace kestrel
