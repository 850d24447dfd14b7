#pragma once
// Scratch folders and the files tests put in them.

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

namespace kestrel::test {

// A fresh folder under /tmp, removed with everything in it.

class TScratch {
 public:
  TScratch() {
    char pattern[] = "/tmp/kestrel-test-XXXXXX";
    if (::mkdtemp(pattern)) FPath = pattern;
  }
  ~TScratch() {
    std::error_code ec;
    if (!FPath.empty()) std::filesystem::remove_all(FPath, ec);
  }
  TScratch(const TScratch&) = delete;
  TScratch& operator=(const TScratch&) = delete;

  const std::filesystem::path& Path() const { return FPath; }
  std::filesystem::path operator/(const std::string& name) const { return FPath / name; }

 private:
  std::filesystem::path FPath;
};

// The whole content of a file, or empty.
inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteFile(const std::filesystem::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

}  // namespace kestrel::test
