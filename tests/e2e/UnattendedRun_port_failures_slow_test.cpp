// Unattended runs whose port leads nowhere: each says which COM number, which
// device and why, right after the message that reports the failure. The
// silent unit's probe is run in process on the virtual clock
// (UnattendedRun_timeouts_test); the built program sits through it in
// UnattendedRun_failures_slow_test.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "E2eSupport.h"
#include "PtyPair.h"

namespace kestrel::e2e {
namespace {

constexpr const char* kNoUnit =
    "message: Error!! COM port communication failed. Please check RS232 connection/INI settings. "
    "Exiting application\n";
constexpr const char* kOpenFailed =
    "message: Note: COM Port #1 is not responding/being used by other applications.\n";

// The line of `err` that follows `marker`, without its line feed.
std::string LineAfter(const std::string& err, const std::string& marker) {
  const size_t at = err.find(marker);
  if (at == std::string::npos) return "(no \"" + marker + "\")";
  const size_t start = at + marker.size();
  return err.substr(start, err.find('\n', start) - start);
}

// A run as another user, so that the device's permissions apply (root's do
// not); nullptr where that cannot be arranged.
struct TOtherUserRun {
  TScratch Folder;
  std::unique_ptr<TChild> Child;
  std::string Err() const { return ReadFile(Folder / "stderr.txt"); }
};

std::unique_ptr<TOtherUserRun> RunAsNobody(const std::string& com1) {
  const fs::path setpriv = "/usr/bin/setpriv";
  if (::geteuid() != 0 || !fs::exists(setpriv)) return nullptr;
  auto run = std::make_unique<TOtherUserRun>();
  WriteFile(run->Folder / "run.sld", "_SC \"X\"\n");
  WriteFile(run->Folder / "LoaderDefault.ini", SettingsText());
  fs::permissions(run->Folder.Path(), fs::perms(0755));
  run->Child = std::make_unique<TChild>(
      setpriv,
      std::vector<std::string>{"--reuid=65534", "--regid=65534", "--clear-groups",
                               BinPath("kestrel").string(), "--batch", "run.sld"},
      run->Folder.Path(),
      std::map<std::string, std::string>{{"KESTREL_COM1", com1},
                                         {"KESTREL_COM2", "/nonexistent/kestrel-e2e-com2"}},
      run->Folder / "stderr.txt");
  return run;
}

TEST(PortFailures, EachNamesThePortTheDeviceAndWhy) {
  const std::string script = "_SC \"X\"\n";
  TScratch places;
  const std::string regular = (places / "firmware.bin").string();
  WriteFile(regular, "abc");
  TBatchRun missing(script, "/nonexistent/kestrel-e2e-com1");
  TBatchRun file(script, regular);
  TBatchRun folder(script, places.Path().string());
  TBatchRun null(script, "/dev/null");

  // Another program holds the port the way Kestrel itself does.
  test::PtyPair held;
  ASSERT_TRUE(held.ok());
  TApdFd holder(::open(held.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  ASSERT_EQ(::flock(holder.get(), LOCK_EX | LOCK_NB), 0);
  TBatchRun inUse(script, held.slavePath());

  // Devices this user may not open: one of the dialout group, one not.
  test::PtyPair dialout, other;
  ASSERT_TRUE(dialout.ok() && other.ok());
  const struct group* dialoutGroup = ::getgrnam("dialout");
  ASSERT_EQ(::chmod(other.slavePath().c_str(), 0600), 0);
  std::unique_ptr<TOtherUserRun> deniedDialout;
  if (dialoutGroup && ::chown(dialout.slavePath().c_str(), 0, dialoutGroup->gr_gid) == 0 &&
      ::chmod(dialout.slavePath().c_str(), 0660) == 0)
    deniedDialout = RunAsNobody(dialout.slavePath());
  auto deniedOther = RunAsNobody(other.slavePath());
  // Not root: this user's own device with every permission taken away.
  std::unique_ptr<TBatchRun> deniedOwn;
  if (!deniedOther) {
    ASSERT_EQ(::chmod(other.slavePath().c_str(), 0), 0);
    deniedOwn = std::make_unique<TBatchRun>(script, other.slavePath());
    deniedOwn->Start();
  }

  std::vector<TBatchRun*> all = {&missing, &file, &folder, &null, &inUse};
  for (TBatchRun* run : all) run->Start();
  for (TBatchRun* run : all) EXPECT_EQ(run->Finish(), 2) << run->Err();

  // Nothing to open: said once, at once, and named as the cause right after
  // the run's last message.
  const std::string hint =
      " (kestrel --list-ports shows the serial devices; KESTREL_COM1=DEVICE maps one to COM 1)";
  struct TUnopened {
    TBatchRun* Run;
    std::string Path;
    const char* Reason;
  };
  for (const TUnopened& c :
       {TUnopened{&missing, "/nonexistent/kestrel-e2e-com1", "no such device"},
        TUnopened{&file, regular, "not a serial device (a regular file)"},
        TUnopened{&folder, places.Path().string(), "not a serial device (a folder)"},
        TUnopened{&null, "/dev/null", "not a serial device (a device that is no terminal)"}}) {
    const std::string expected = "COM 1: " + c.Path + ": " + c.Reason + hint;
    const std::string cause = LineAfter(c.Run->Err(), kNoUnit);
    EXPECT_EQ(cause.rfind("cause: ", 0), 0u) << c.Run->Err();
    EXPECT_NE(cause.find("; " + expected + "; COM 2: "), std::string::npos) << c.Run->Err();
    const std::string said = "status: " + expected + "\n";
    EXPECT_TRUE(c.Run->Said(said + "status: COM 2: /nonexistent/kestrel-e2e-com2: "))
        << c.Run->Err();
    EXPECT_EQ(c.Run->Err().find(said, c.Run->Err().find(said) + 1), std::string::npos)
        << c.Run->Err();
  }
  EXPECT_EQ(ReadFile(regular), "abc") << "a file named as a port is left alone";

  // Held elsewhere: the note, then why.
  EXPECT_EQ(LineAfter(inUse.Err(), kOpenFailed),
            "status: COM 1: " + held.slavePath() + " is in use by another program")
      << inUse.Err();

  const std::string denied = ": no permission to open it";
  if (deniedDialout) {
    EXPECT_EQ(deniedDialout->Child->Wait(), 2) << deniedDialout->Err();
    EXPECT_EQ(LineAfter(deniedDialout->Err(), kOpenFailed),
              "status: COM 1: " + dialout.slavePath() + denied +
                  "; join the dialout group (sudo usermod -aG dialout $USER, then log in again)")
        << deniedDialout->Err();
  }
  std::string otherErr;
  if (deniedOther) {
    EXPECT_EQ(deniedOther->Child->Wait(), 2);
    otherErr = deniedOther->Err();
  } else {
    EXPECT_EQ(deniedOwn->Finish(), 2);
    otherErr = deniedOwn->Err();
  }
  const std::string otherLine = LineAfter(otherErr, kOpenFailed);
  EXPECT_EQ(otherLine.rfind("status: COM 1: " + other.slavePath() + denied, 0), 0u) << otherErr;
  EXPECT_EQ(otherLine.find("dialout"), std::string::npos) << "no group advice that cannot help";
}

}  // namespace
}  // namespace kestrel::e2e
