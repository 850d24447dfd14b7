#include "terminal/AdtrmCmd.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace kestrel {

int TAdEmuCommandParams::FindName(const std::string& name) const {
  for (size_t i = 0; i < Items_.size(); ++i)
    if (Items_[i].Name == name) return int(i);
  return -1;
}

const std::string* TAdEmuCommandParams::Lookup(const std::string& name, int position) const {
  int i = name.empty() ? -1 : FindName(name);
  if (i < 0 && position >= 0 && position < Count()) i = position;
  return i < 0 ? nullptr : &Items_[size_t(i)].Value;
}

bool TAdEmuCommandParams::GetBooleanValue(const std::string& name, int position, bool def) const {
  const std::string* v = Lookup(name, position);
  if (!v) return def;
  std::string s = *v;
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  if (s == "t" || s == "true" || s == "1" || s == "on" || s == "yes") return true;
  if (s == "f" || s == "false" || s == "0" || s == "off" || s == "no") return false;
  return def;
}

namespace {

template <typename T>
T Convert(const std::string* v, T def) {
  if (!v || v->empty()) return def;
  T out{};
  const char* end = v->data() + v->size();
  auto [ptr, ec] = std::from_chars(v->data(), end, out);
  return ec == std::errc() && ptr == end ? out : def;
}

}  // namespace

int TAdEmuCommandParams::GetIntegerValue(const std::string& name, int position, int def) const {
  return Convert<int>(Lookup(name, position), def);
}

std::string TAdEmuCommandParams::GetStringValue(const std::string& name, int position,
                                                const std::string& def) const {
  const std::string* v = Lookup(name, position);
  return v ? *v : def;
}

uint32_t TAdEmuCommandParams::GetTColorValue(const std::string& name, int position,
                                             uint32_t def) const {
  // Colours travel as signed decimal text, like any integer.
  const std::string* v = Lookup(name, position);
  if (v && !v->empty() && (*v)[0] == '-') return uint32_t(Convert<int32_t>(v, int32_t(def)));
  return Convert<uint32_t>(v, def);
}

}  // namespace kestrel
