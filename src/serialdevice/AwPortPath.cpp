#include "serialdevice/AwPortPath.h"

#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <vector>

#include "messages/AdErrorCodes.h"
#include "serialdevice/AwPosix.h"
#include "serialdevice/AwRfc2217.h"

extern char** environ;

namespace kestrel {

namespace {

constexpr const char* kPortVariable = "KESTREL_COM";

// "scheme" of "scheme:rest", or empty when `path` has none.
std::string SchemeOf(const std::string& path) {
  const auto colon = path.find(':');
  if (colon == std::string::npos || colon == 0 ||
      !std::isalpha(static_cast<unsigned char>(path[0]))) {
    return {};
  }
  for (size_t i = 0; i < colon; ++i) {
    const auto c = static_cast<unsigned char>(path[i]);
    if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return {};
  }
  return path.substr(0, colon);
}

bool SameCharDevice(const struct stat& a, const std::string& other) {
  struct stat b {};
  return ::stat(other.c_str(), &b) == 0 && S_ISCHR(b.st_mode) && b.st_rdev == a.st_rdev;
}

// The name of the group that owns `path`, empty when it cannot be told.
std::string GroupOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  long size = ::sysconf(_SC_GETGR_R_SIZE_MAX);
  std::vector<char> buffer(size_t(size > 0 ? size : 16384));
  struct group entry {};
  struct group* found = nullptr;
  if (::getgrgid_r(st.st_gid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
    return {};
  return found->gr_name;
}

// True when some KESTREL_COM<n> names exactly `path`.
bool NamedByPortVariable(const std::string& path) {
  const size_t prefix = std::strlen(kPortVariable);
  for (char** env = environ; env && *env; ++env) {
    const char* entry = *env;
    if (std::strncmp(entry, kPortVariable, prefix) != 0) continue;
    const char* p = entry + prefix;
    if (!std::isdigit(static_cast<unsigned char>(*p))) continue;
    while (std::isdigit(static_cast<unsigned char>(*p))) ++p;
    if (*p == '=' && path == p + 1) return true;
  }
  return false;
}

// Stands in for a port that must not be touched; it never opens.
// Thread contract: any thread; it has no state that changes.
class TApdAbsentDevice final : public TApdSerialDevice {
 public:
  explicit TApdAbsentDevice(std::string path) : path_(std::move(path)) {}
  std::string Path() const override { return path_; }
  int Open() override { return ecFileNotFound; }
  TOpenFailure LastOpenFailure() const override { return TOpenFailure::ofConsole; }
  void Close() override {}
  bool IsOpen() const override { return false; }
  int SetQueueSizes(int, int) override { return ecCommNotOpen; }
  int ReceiveQueueSize() const override { return 0; }
  int GetState(TDeviceSettings&) override { return ecCommNotOpen; }
  int SetState(const TDeviceSettings&) override { return ecCommNotOpen; }
  int Read(uint8_t*, int) override { return 0; }
  int Write(const uint8_t*, int) override { return ecCommNotOpen; }
  int WaitWritable(int) override { return kDeviceClosed; }
  int WaitEvent(uint32_t, uint32_t& happened) override {
    happened = 0;
    return kDeviceClosed;
  }
  uint32_t GetError(TDeviceStatus& status) override {
    status = TDeviceStatus{};
    return 0;
  }
  int GetModemLines(uint8_t& levels) override {
    levels = 0;
    return ecCommNotOpen;
  }
  int Escape(int) override { return ecCommNotOpen; }
  int Purge(uint32_t) override { return ecCommNotOpen; }

 private:
  std::string path_;
};

}  // namespace

TPortMap::TPortMap(std::string consoleListFile) : ConsoleListFile_(std::move(consoleListFile)) {}

std::string TPortMap::SessionPortPath(int n) const {
  std::lock_guard lock(Lock_);
  const auto it = SessionPorts_.find(n);
  return it == SessionPorts_.end() ? std::string() : it->second;
}

bool TPortMap::NamedExplicitly(const std::string& path) const {
  {
    std::lock_guard lock(Lock_);
    for (const auto& [n, mapped] : SessionPorts_)
      if (mapped == path) return true;
  }
  return NamedByPortVariable(path);
}

std::string TPortMap::ResolvePortPath(int n, const std::string& devRoot) const {
  if (std::string session = SessionPortPath(n); !session.empty()) return session;
  const std::string variable = kPortVariable + std::to_string(n);
  if (const char* mapped = std::getenv(variable.c_str()); mapped && *mapped) return mapped;
  return devRoot + "/ttyS" + std::to_string(n - 1);
}

std::string TPortMap::ResolvePortPath(int n) const {
  return ResolvePortPath(n, "/dev");
}

bool TPortMap::IsPortMappedExplicitly(int n) const {
  if (!SessionPortPath(n).empty()) return true;
  const std::string variable = kPortVariable + std::to_string(n);
  const char* mapped = std::getenv(variable.c_str());
  return mapped && *mapped;
}

bool IsConsoleDevice(const std::string& path, const std::string& consoleListFile) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  const unsigned major = ::major(st.st_rdev), minor = ::minor(st.st_rdev);
  if (major == 5 && minor <= 1) return true;            // /dev/tty, /dev/console
  if (major == 4 && minor < 64) return true;            // the virtual terminals
  if (SameCharDevice(st, "/dev/console")) return true;  // may be a pty in a container
  std::ifstream list(consoleListFile);
  std::string name;
  while (list >> name) {
    if (SameCharDevice(st, "/dev/" + name)) return true;
  }
  return false;
}

bool TPortMap::IsConsoleDevice(const std::string& path) const {
  return kestrel::IsConsoleDevice(path, ConsoleListFile_);
}

void TPortMap::MapPortForSession(int n, const std::string& path) {
  std::lock_guard lock(Lock_);
  if (path.empty())
    SessionPorts_.erase(n);
  else
    SessionPorts_[n] = path;
}

namespace {

// What stands at `path` instead of a serial device, as " (a folder)".
std::string NotSerialKind(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  if (S_ISREG(st.st_mode)) return " (a regular file)";
  if (S_ISDIR(st.st_mode)) return " (a folder)";
  if (S_ISSOCK(st.st_mode)) return " (a Unix socket)";
  if (S_ISFIFO(st.st_mode)) return " (a FIFO)";
  if (S_ISBLK(st.st_mode)) return " (a block device)";
  if (S_ISCHR(st.st_mode)) return " (a device that is no terminal)";
  return {};
}

}  // namespace

std::string OpenFailureText(TOpenFailure failure, const std::string& path) {
  switch (failure) {
    case TOpenFailure::ofNone:
      return "opened";
    case TOpenFailure::ofNoDevice:
      return "no such device";
    case TOpenFailure::ofNotSerial:
      return "not a serial device" + NotSerialKind(path);
    case TOpenFailure::ofPermission: {
      const std::string group = GroupOf(path);
      if (group == "dialout")
        return "no permission to open it; join the dialout group (sudo usermod -aG dialout "
               "$USER, then log in again)";
      return "no permission to open it" + (group.empty() ? "" : " (group " + group + ")");
    }
    case TOpenFailure::ofInUse:
      return "in use by another program";
    case TOpenFailure::ofConsole:
      return "the system console, never opened unless KESTREL_COM<n> names it";
    case TOpenFailure::ofOther:
      break;
  }
  return "cannot be opened";
}

void TPortMap::RegisterDeviceScheme(const std::string& scheme, TDeviceFactory factory) {
  std::lock_guard lock(Lock_);
  if (factory) {
    Schemes_[scheme] = factory;
  } else {
    Schemes_.erase(scheme);
  }
}

TDeviceFactory TPortMap::SchemeFactory(const std::string& scheme) const {
  std::lock_guard lock(Lock_);
  const auto it = Schemes_.find(scheme);
  return it == Schemes_.end() ? nullptr : it->second;
}

// Every path becomes a device here, and only here.
std::unique_ptr<TApdSerialDevice> TPortMap::CreateSerialDevice(const std::string& path) const {
  // Network lines (rfc2217://, tcp://) are built in.
  if (auto device = CreateNetDevice(path)) return device;
  if (const std::string scheme = SchemeOf(path); !scheme.empty()) {
    // Called unlocked: a factory may register schemes too.
    if (const TDeviceFactory factory = SchemeFactory(scheme)) return factory(path);
  }
  if (IsConsoleDevice(path) && !NamedExplicitly(path)) {
    return std::make_unique<TApdAbsentDevice>(path);
  }
  return std::make_unique<TApdPosixDevice>(path);
}

std::unique_ptr<TApdSerialDevice> TPortMap::CreatePortDevice(int n) const {
  return CreateSerialDevice(ResolvePortPath(n));
}

}  // namespace kestrel
