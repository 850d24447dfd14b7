// The script runner itself, in the main window, on any script. The port is
// a recording device: every byte the runner sends is kept, and every write
// is answered at once with a line of text followed by every byte value, so
// whichever prompt the script awaits is there and no wait runs out. The
// runner's fixed pauses do not sleep here (FuzzWindowWaits.cpp).
//
// After each run: every upload line sent ends in a carriage return, fits
// the command buffer and, unless cut to it, carries the uploaded file's
// size and checksum; the runner's texts keep to their fields and its slot
// index to the table. Skipped inputs: those naming paths ("/"), so no file
// outside the scratch folder is ever opened; those holding the upload files'
// marker, so no sent text can pass for a file's content; and those with a
// _TC of empty text, which sends nothing and so waits out its whole probe
// (some 3.6 s) for an answer no unit would give.
#include <stdlib.h>
#include <unistd.h>

#include <QDir>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "FuzzCheck.h"
#include "loader/core/ScriptArguments.h"
#include "loader/form/MainUnit.h"
#include "loader/windows/KestrelApplication.h"
#include "loader/windows/OperatorDialog.h"
#include "loader/windows/Progress.h"
#include "serialdevice/AwForwardingDevice.h"
#include "serialdevice/AwPortPath.h"
#include "serialdevice/AwSim.h"

namespace kestrel {
extern std::function<bool()> fuzz_port_idle;  // FuzzWindowWaits.cpp
}

namespace {

using namespace kestrel;

std::mutex gSentLock;
std::string gSent;  // what the runner sent in this run

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
  return std::make_unique<TRecordingDevice>(CreateSimDevice(options));
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
  TLoaderSettings Settings;  // as the window came up
  char AwaitedPrompt = 0;
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
    RegisterDeviceScheme("rec", &recording_device);
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
    QDir::setCurrent(h->Scratch);
    h->Progress = std::make_unique<TProgressForm>();
    h->Form = std::make_unique<TKestrelForm>(h->Dialog);
    h->Form->SetCompanions(h->Progress.get(), nullptr);
    h->Form->EndProcess = [](int) {};
    h->Form->ApdComPort1->SetComNumber(1);
    h->Form->ApdComPort1->SetOpen(true);
    h->Settings = h->Form->Settings;
    fuzz_port_idle = [port = h->Form->ApdComPort1] {
      try {
        return port->OutBuffUsed() == 0;
      } catch (...) {
        return true;  // a closed port holds nothing
      }
    };
    h->AwaitedPrompt = h->Form->Link.AwaitedPrompt;
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
  FUZZ_CHECK(form.Session.CommandBuffer.size() < size_t(TKestrelForm::kCommandBufferSize));
  // A relative name is taken from the script's folder, the scratch folder.
  FUZZ_CHECK(form.Chain.FileName.size() <
             size_t(harness().Scratch.size()) + 1 + size_t(TKestrelForm::kUploadFileNameSize));
  FUZZ_CHECK(form.Chain.Address.size() < size_t(TKestrelForm::kLoadAddressSize));
  FUZZ_CHECK(form.Chain.Version.size() < size_t(TKestrelForm::kVersionTextSize));
  FUZZ_CHECK(form.Session.LastResponse.size() <= size_t(TScriptSession::kLastResponseSize));
  FUZZ_CHECK(form.Session.CurrentSlot >= 0 && form.Session.CurrentSlot < kScriptSlotCount);
}

bool has_empty_loader_test(const std::string& script) {
  for (size_t at = script.find("_TC"); at != std::string::npos; at = script.find("_TC", at + 1)) {
    // A command line ends at its line feed or, held as C text, at a NUL.
    const size_t end = std::min(script.find('\n', at), script.find('\0', at));
    const std::optional<std::string> text = script_quoted_text(script.substr(at, end - at));
    if (text && script_caret_escapes(*text, '\r').empty()) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string script(reinterpret_cast<const char*>(data), size);
  if (script.find('/') != std::string::npos || script.find(kMarker) != std::string::npos ||
      has_empty_loader_test(script))
    return 0;
  THarness& h = harness();
  TKestrelForm& form = *h.Form;

  QDir::setCurrent(h.Scratch);
  const std::string path = QDir(h.Scratch).filePath(QStringLiteral("run.sld")).toStdString();
  if (std::FILE* file = std::fopen(path.c_str(), "wb")) {
    std::fwrite(script.data(), 1, script.size(), file);
    std::fclose(file);
  }
  form.clear_script_lines();
  form.Chain.Drop();
  form.Session.UploadInProgress = form.Link.AwaitingResponse = false;
  form.Session.LastResponse.clear();
  form.Settings = h.Settings;
  form.Link.AwaitedPrompt = h.AwaitedPrompt;
  form.Session.PostUploadPause = 0;
  h.Progress->CancelFlag = 0;
  take_sent();

  form.Session.ScriptFileName = path;
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
