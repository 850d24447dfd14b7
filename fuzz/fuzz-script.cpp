// A script file of any content, read as the runner and the check read it:
// every command line starts with "_", holds no line feed and fits the
// runner's slot; every argument form and escape keeps to its field; and the
// check, which follows the runner's upload chain, reads it through. Inputs
// that could name files outside the scratch folder ("/" anywhere) are only
// read, never checked, so no device or large file is ever opened.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "FuzzCheck.h"
#include "loader/core/LoaderSettings.h"
#include "loader/core/ScriptArguments.h"
#include "loader/core/ScriptCheck.h"
#include "loader/core/ScriptReader.h"

namespace {

using namespace kestrel;

// A scratch folder with one small file to upload: the working folder of
// each check, removed at exit. The fuzzer's own folder is restored after
// each check, since it reads its corpus by relative paths.
char gScratch[] = "/tmp/kestrel-fuzz-script-XXXXXX";
char gScratchFile[sizeof gScratch + 6];

const char* scratch_folder() {
  static const bool made = [] {
    if (!::mkdtemp(gScratch)) std::abort();
    std::snprintf(gScratchFile, sizeof gScratchFile, "%s/a.bin", gScratch);
    std::FILE* f = std::fopen(gScratchFile, "wb");
    std::fputs("abc", f);
    std::fclose(f);
    std::atexit([] {
      std::remove(gScratchFile);
      ::rmdir(gScratch);
    });
    return true;
  }();
  (void)made;
  return gScratch;
}

void check_arguments(const std::string& line) {
  if (const auto text = script_quoted_text(line)) {
    FUZZ_CHECK(text->size() < line.size());
    FUZZ_CHECK(script_caret_escapes(*text, '\r').size() <= text->size());
    const std::string buffer =
        script_field(script_caret_escapes(*text, '\r') + '\r', kScriptCommandBufferSize - 1);
    FUZZ_CHECK(buffer.size() < size_t(kScriptCommandBufferSize));
  }
  if (const auto compare = script_compare_argument(line)) {
    FUZZ_CHECK(compare->Text.find('"') == std::string::npos);
    FUZZ_CHECK(compare->Command.empty() || compare->Command[0] != ' ');
    FUZZ_CHECK(script_backslash_escapes(compare->Text).size() <= compare->Text.size());
  }
  if (const auto word = script_word(line)) {
    FUZZ_CHECK(word->empty() || (*word)[0] != ' ');
    const std::string upload = script_upload_line(
        "LF", script_field(*word, kScriptLoadAddressSize - 1), 0xFFFFFFFFu, 0xFFFF,
        script_field(*word, kScriptVersionTextSize - 1), kScriptCommandBufferSize - 1);
    FUZZ_CHECK(upload.size() < size_t(kScriptCommandBufferSize));
    (void)settings_atol(*word);
  }
  (void)script_quoted_char(line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = ::memfd_create("script", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (size > 0 && ::write(fd, data, size) != ssize_t(size)) {
    ::close(fd);
    return 0;
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);

  TScriptReader reader(path);
  FUZZ_CHECK(reader.IsOpen());
  int lastLine = 0;
  while (const auto line = reader.Next()) {
    FUZZ_CHECK(!line->Text.empty() && line->Text[0] == '_');
    FUZZ_CHECK(line->Text.size() <= size_t(kScriptMaxCommandLine));
    FUZZ_CHECK(line->Length >= line->Text.size());
    FUZZ_CHECK(line->Text.find('\n') == std::string::npos);
    FUZZ_CHECK(line->LineNumber > lastLine);
    lastLine = line->LineNumber;
    check_arguments(line->Text);
  }

  const std::string_view all(reinterpret_cast<const char*>(data), size);
  if (all.find('/') == std::string_view::npos) {
    std::ostringstream out;
    const int back = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (back < 0 || ::chdir(scratch_folder()) != 0) std::abort();
    const int problems = check_script(path, TLoaderSettings{}, out);
    if (::fchdir(back) != 0) std::abort();
    ::close(back);
    FUZZ_CHECK(problems >= 0);
    FUZZ_CHECK(out.str().find(problems ? "problem" : "would run clean") != std::string::npos);
  }
  ::close(fd);
  return 0;
}
