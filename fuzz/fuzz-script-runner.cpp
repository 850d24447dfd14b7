// The script runner itself, in the main window, on any script. The port is
// a recording device: every byte the runner sends is kept, and every write
// is answered at once with a line of text followed by every byte value, so
// whichever prompt the script awaits is there. The window's waits run on a
// clock of their own, which skips whatever time a wait has left once the
// answer has been taken: a pause or a prompt that never comes costs no time.
//
// The names a script gives are mapped into the harness folder (an absolute
// name loses its leading slashes, ".." becomes "__"), where a FIFO, a
// folder and a link to /dev/null wait for them, so a script can reach
// files of every kind and none outside the folder.
//
// After each run: every upload line sent ends in a carriage return, fits
// the command buffer and, unless cut to it, carries the uploaded file's
// size and checksum; the runner's texts keep to their fields and its slot
// index to the table. Skipped inputs: those holding the upload files'
// marker, so no sent text can pass for a file's content.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "VirtualTimeClock.h"
#include "loader/form/MainUnit.h"
#include "loader/windows/KestrelApplication.h"
#include "loader/windows/OperatorDialog.h"
#include "loader/windows/Progress.h"
#include "serialdevice/AwForwardingDevice.h"
#include "serialdevice/AwPortPath.h"
#include "serialdevice/AwSim.h"

namespace {

using namespace kestrel;

std::mutex gSentLock;
std::string gSent;                    // what the runner sent in this run
std::shared_ptr<TApdSimFarEnd> gFar;  // the far end of the port's device

std::string take_sent() {
  std::lock_guard lock(gSentLock);
  return std::exchange(gSent, {});
}

std::string answer_text() {
  std::string text = "KESTREL FUZZ UNIT 1.0\r\n";
  for (int c = 0; c < 256; ++c) text += char(c);
  return text;
}

// The port end of an in-memory cable whose far end is read and answered
// inside each write.
class TRecordingDevice final : public TApdForwardingDevice<TApdSimDevice> {
 public:
  explicit TRecordingDevice(TSimPair pair)
      : TApdForwardingDevice(std::move(pair.port)), far_(std::move(pair.far)) {}
  int Write(const uint8_t* data, int n) override {
    const int written = inner().Write(data, n);
    uint8_t buffer[4096];
    bool any = false;
    for (int got; (got = far_->Read(buffer, sizeof buffer)) > 0;) {
      std::lock_guard lock(gSentLock);
      gSent.append(reinterpret_cast<const char*>(buffer), size_t(got));
      any = true;
    }
    if (any) {
      static const std::string answer = answer_text();
      far_->Send(reinterpret_cast<const uint8_t*>(answer.data()), int(answer.size()));
    }
    return written;
  }

 private:
  std::shared_ptr<TApdSimFarEnd> far_;
};

std::unique_ptr<TApdSerialDevice> recording_device(const std::string& path) {
  TSimOptions options;
  options.path = path;
  TSimPair pair = CreateSimDevice(options);
  gFar = pair.far;
  return std::make_unique<TRecordingDevice>(std::move(pair));
}

// The far end answers inside the write: it is at rest once the port has
// read the answer.
bool far_end_settled() {
  return !gFar || (gFar->Available() == 0 && gFar->PortRxQueued() == 0);
}

// An operator who answers no to everything and is never shown anything.
class TSilentOperator final : public TOperatorDialog {
 public:
  void ShowMessage(const std::string&) override {}
  bool ConfirmExit(QWidget*, const std::string&) override { return false; }
  std::optional<std::string> OpenFile(QWidget*, const TOpenFileRequest&) override { return {}; }
  std::optional<TTerminalFont> ChooseFont(QWidget*, const TTerminalFont&) override { return {}; }
};

// The files a script may upload: their content starts and ends a line of
// its own in what is sent, behind the upload line.
constexpr char kMarker[] = "KFZ";
struct TUploadFile {
  const char* Name;
  std::string Content;
};
const TUploadFile kFiles[] = {{"a.bin", "\rKFZ-A\r"},
                              {"b.bin", "\rKFZ-BB" + std::string(40, 'b') + "\r"}};

uint32_t checksum(const std::string& bytes) {
  uint32_t sum = 0;
  for (unsigned char c : bytes) sum += c;
  return sum;
}

struct THarness {
  std::unique_ptr<TKestrelApplication> App;
  TSilentOperator Dialog;
  std::unique_ptr<TProgressForm> Progress;
  std::unique_ptr<TKestrelForm> Form;
  std::unique_ptr<TVirtualTimeClock> Clock;
  // A script that sets the upload command and the loader prompt back to what
  // they were when the window came up.
  std::string ResetScript;
  char AwaitedPrompt = 0;  // the prompt the last exchange waited for, then
  QString Scratch;
  QString Home;
};

THarness& harness() {
  static THarness* h = [] {
    auto* h = new THarness;
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("KESTREL_COM1", "rec:fuzz", 1);
    ::setenv("KESTREL_COM2", "/nonexistent/kestrel-fuzz-com2", 1);
    ::setenv("KESTREL_COM3", "/nonexistent/kestrel-fuzz-com3", 1);
    static int argc = 1;
    static char name[] = "kestrel-fuzz-script-runner";
    static char* argv[] = {name, nullptr};
    h->App = std::make_unique<TKestrelApplication>(argc, argv);

    char scratch[] = "/tmp/kestrel-fuzz-runner-XXXXXX";
    if (!::mkdtemp(scratch)) std::abort();
    h->Scratch = QString::fromLatin1(scratch);
    h->Home = QDir::currentPath();
    for (const TUploadFile& f : kFiles) {
      const std::string path = std::string(scratch) + "/" + f.Name;
      std::FILE* file = std::fopen(path.c_str(), "wb");
      std::fwrite(f.Content.data(), 1, f.Content.size(), file);
      std::fclose(file);
    }
    // What mapped names may reach besides the upload files: FIFOs without
    // a writer (one where the console's device would be), a folder, and a
    // character device that is safe to open.
    const std::string folder(scratch);
    if (::mkdir((folder + "/dev").c_str(), 0700) != 0 ||
        ::mkdir((folder + "/dir").c_str(), 0700) != 0 ||
        ::mkfifo((folder + "/fifo").c_str(), 0600) != 0 ||
        ::mkfifo((folder + "/dev/ttyS0").c_str(), 0600) != 0 ||
        ::symlink("/dev/null", (folder + "/dev/null").c_str()) != 0)
      std::abort();
    QDir::setCurrent(h->Scratch);
    h->Progress = std::make_unique<TProgressForm>();
    h->Form = std::make_unique<TKestrelForm>(h->Dialog);
    h->Form->SetCompanions(h->Progress.get(), nullptr);
    h->Form->ApdComPort1->PortMap().RegisterDeviceScheme("rec", &recording_device);
    h->Form->ApdComPort1->SetComNumber(1);
    h->Form->ApdComPort1->SetOpen(true);
    h->Clock = std::make_unique<TVirtualTimeClock>(h->Form->ApdComPort1, &far_end_settled);
    h->Form->SetClock(h->Clock.get());
    h->ResetScript = QDir(h->Scratch).filePath(QStringLiteral("reset.sld")).toStdString();
    std::ofstream(h->ResetScript) << "_LC \"" << h->Form->Settings.UploadCommand << "\"\n_PC \""
                                  << h->Form->Settings.LoaderPrompt << "\"\n";
    h->AwaitedPrompt = h->Form->Link.LastPrompt;
    QDir::setCurrent(h->Home);
    std::atexit([] { QDir(harness().Scratch).removeRecursively(); });
    return h;
  }();
  return *h;
}

// Each upload line is the line just before a file's content.
void check_upload_lines(const std::string& sent) {
  for (const TUploadFile& f : kFiles) {
    for (size_t at = sent.find(f.Content); at != std::string::npos;
         at = sent.find(f.Content, at + 1)) {
      // The upload line ends just before the content, with its own CR.
      if (at == 0) continue;  // a file sent without its line: nothing to check
      const size_t before = at >= 2 ? sent.rfind('\r', at - 2) : std::string::npos;
      const size_t start = before == std::string::npos ? 0 : before + 1;
      const std::string line = sent.substr(start, at - start);
      FUZZ_CHECK(line.back() == '\r');
      FUZZ_CHECK(line.size() <= size_t(TKestrelForm::kCommandBufferSize - 1));
      if (line.size() < size_t(TKestrelForm::kCommandBufferSize - 1)) {
        char numbers[32];
        std::snprintf(numbers, sizeof numbers, " %zu %x ", f.Content.size(),
                      unsigned(checksum(f.Content)));
        FUZZ_CHECK(line.find(numbers) != std::string::npos);
      }
    }
  }
}

void check_fields(const TKestrelForm& form) {
  // A relative name is taken from the script's folder, the scratch folder.
  FUZZ_CHECK(form.Chain.FileName.size() <
             size_t(harness().Scratch.size()) + 1 + size_t(TKestrelForm::kUploadFileNameSize));
  FUZZ_CHECK(form.Chain.Address.size() < size_t(TKestrelForm::kLoadAddressSize));
  FUZZ_CHECK(form.Chain.Version.size() < size_t(TKestrelForm::kVersionTextSize));
  FUZZ_CHECK(form.Session.LastResponse.size() <= size_t(TScriptSession::kLastResponseSize));
  FUZZ_CHECK(form.Session.CurrentSlot >= 0 && form.Session.CurrentSlot < kScriptSlotCount);
}

// Every name the script gives, mapped into the folder it sits in: a slash
// that would start an absolute name is dropped, ".." loses its meaning.
std::string mapped_into_folder(const std::string& script) {
  std::string out;
  out.reserve(script.size());
  for (size_t i = 0; i < script.size(); ++i) {
    const char c = script[i];
    if (c == '.' && i + 1 < script.size() && script[i + 1] == '.') {
      out += "__";
      ++i;
      continue;
    }
    const char before = out.empty() ? '\n' : out.back();
    if (c == '/' && (before == ' ' || before == '\t' || before == '"' || before == '\n' ||
                     before == '\r' || before == '\0'))
      continue;
    out += c;
  }
  return out;
}

}  // namespace

// libFuzzer names its findings relative to the working folder, and a run
// works in the harness folder, which goes at exit: relative paths on the
// command line are made absolute first, and findings go to the folder the
// target was started in unless the command line says otherwise.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static std::vector<std::string> args;
  static std::vector<char*> pointers;
  const std::string here = QDir::currentPath().toStdString() + "/";
  const auto absolute = [&](const std::string& path) {
    return path.empty() || path[0] == '/' ? path : here + path;
  };
  bool prefixed = false;
  for (int i = 0; i < *argc; ++i) {
    std::string arg = (*argv)[i];
    if (i > 0 && arg[0] != '-') arg = absolute(arg);
    for (const char* flag : {"-artifact_prefix=", "-exact_artifact_path=", "-dict="}) {
      const size_t n = std::strlen(flag);
      if (arg.compare(0, n, flag) != 0) continue;
      arg = flag + absolute(arg.substr(n));
      prefixed = prefixed || flag[1] == 'a' || flag[1] == 'e';
    }
    args.push_back(arg);
  }
  if (!prefixed) args.insert(args.begin() + 1, "-artifact_prefix=" + here);
  for (std::string& arg : args) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  *argc = int(args.size());
  *argv = pointers.data();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string script =
      mapped_into_folder(std::string(reinterpret_cast<const char*>(data), size));
  if (script.find(kMarker) != std::string::npos) return 0;
  THarness& h = harness();
  TKestrelForm& form = *h.Form;

  QDir::setCurrent(h.Scratch);
  const std::string path = QDir(h.Scratch).filePath(QStringLiteral("run.sld")).toStdString();
  if (std::FILE* file = std::fopen(path.c_str(), "wb")) {
    std::fwrite(script.data(), 1, script.size(), file);
    std::fclose(file);
  }
  // Each input starts where the first did. What a script sets outlives its
  // run, as it does for an operator: a run of the reset script sets the
  // upload command and the loader prompt back, and an exchange waits for
  // the prompt the first input's last exchange waited for.
  form.begin_run(h.ResetScript);
  form.read_ini();
  form.SendCOMCmd_GetPrompt("\r", h.AwaitedPrompt);
  take_sent();

  form.begin_run(path);
  form.read_ini();

  check_fields(form);
  check_upload_lines(take_sent());
  QDir::setCurrent(h.Home);
  return 0;
}

// Font configuration keeps caches for the life of the process, allocated
// during the first window's layout; they are not the runner's leaks.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig\n";
}
