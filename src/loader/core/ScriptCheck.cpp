#include "loader/core/ScriptCheck.h"

#include <cctype>
#include <cstdio>
#include <optional>

#include "loader/core/FileChain.h"
#include "loader/core/LoaderSettings.h"
#include "loader/core/ScriptArguments.h"
#include "loader/core/ScriptFiles.h"
#include "loader/core/ScriptReader.h"

namespace kestrel {

namespace {

std::string visible(std::string_view text, bool quoted = false) {
  return script_visible(text, quoted);
}

class TScriptCheck {
 public:
  TScriptCheck(const std::string& script, const TLoaderSettings& settings, std::ostream& out)
      : FScript(script), FUploadCommand(settings.UploadCommand), FOut(out) {}

  int Run() {
    TScriptReader reader(FScript);
    if (!reader.IsOpen()) {
      FOut << FScript << ": Error opening file " << FScript << " for read. (" << reader.OpenError()
           << ")\n";
      return 1;
    }
    int commandLines = 0;
    while (std::optional<TScriptCommandLine> line = reader.Next()) {
      FLine = line->LineNumber;
      ++commandLines;
      // The runner keeps the line as a C string: a NUL byte ends it there.
      const size_t nul = line->Text.find('\0');
      if (nul != std::string::npos) line->Text.resize(nul);
      FOut << FLine << ": " << visible(line->Text) << '\n';
      if (nul != std::string::npos)
        Problem("a NUL byte cuts this line: the run sees only what is shown above");
      if (++FSlotsUsed > kScriptSlotCount)
        Problem("the script's " + std::to_string(kScriptSlotCount) +
                " command line slots are used up; this line reuses the last one");
      if (line->Length > size_t(kScriptMaxCommandLine)) {
        CutLine(*line);
        continue;
      }
      Command(line->Text, false);
    }
    if (commandLines == 0) {
      FLine = 0;
      Problem(reader.SawBareCarriageReturn()
                  ? "the script has no command line: its lines end in carriage returns alone, "
                    "so the run reads it as one comment line"
                  : "the script has no command line: the run does nothing");
    } else if (reader.SawBareCarriageReturn()) {
      FLine = 0;
      Problem(
          "the script holds carriage returns without a line feed: the lines they end run "
          "together as one");
    }
    return FProblems;
  }

 private:
  void Problem(const std::string& text) {
    FOut << FScript << ':' << FLine << ": " << text << '\n';
    ++FProblems;
  }
  void Note(const std::string& text) { FOut << "    " << text << '\n'; }
  // A line longer than a script line holds never runs: in an upload
  // section the file is not loaded; anywhere else the run stops there.
  void CutLine(const TScriptCommandLine& line) {
    const std::string name = line.Text.substr(0, 3);
    if (!is_upload_section_command(name))
      return Problem(script_line_too_long(line.Length) +
                     ": the line is not run, and the run stops here");
    const bool waiting = FChain.FileNamed() || FChain.AddressSet() || FChain.VersionSet();
    const TChainStep step = FChain.CutLine(FScript, line.Text, line.Length);
    SectionRefused(step.Why, name == "_LF" ? !step.Argument.empty() : waiting);
  }
  void SectionRefused(const std::string& why, bool fileWaiting = true) {
    Problem(why + ": the line is not run" +
            (fileWaiting ? ", and " + visible(FChain.FileName) + " is not loaded" : std::string()));
  }
  void TooLong(const char* what, size_t length, int field) {
    if (length > size_t(field))
      Problem(std::string(what) + " is " + std::to_string(length) + " characters long; only " +
              std::to_string(field) + " are kept");
  }

  // A command line, run from the script (`conditional` false) or after a
  // compare that may or may not match.
  void Command(const std::string& line, bool conditional) {
    const std::string name = line.substr(0, 3);
    const std::optional<TScriptArgumentForm> form = script_argument_form(name);
    if (!form) {
      Problem("unknown command " + visible(name) + ": the line does nothing");
      return;
    }
    switch (*form) {
      case TScriptArgumentForm::Quoted:
        return Quoted(name, line, conditional);
      case TScriptArgumentForm::QuotedChar:
        if (!script_quoted_char(line))
          Problem(name + " needs a double quote before its character: the line does nothing");
        return;
      case TScriptArgumentForm::Compare:
        return Compare(name, line, conditional);
      case TScriptArgumentForm::Number:
        return Number(name, line);
      case TScriptArgumentForm::None:
        if (!conditional) LoadDo();
        return;
      case TScriptArgumentForm::Word:
        break;
    }
    if (conditional) {
      // Whether it runs depends on the unit's answer: only its form is checked.
      if (!script_word(line)) Problem(name + " needs a blank before its argument");
      return;
    }
    if (name == "_LF") return LoadFile(line);
    if (name == "_LA") return LoadAddress(line);
    LoadVersion(line);
  }

  void Quoted(const std::string& name, const std::string& line, bool conditional) {
    const std::optional<std::string> text = script_quoted_text(line);
    if (!text) {
      Problem(name + " needs its text in double quotes: the line does nothing");
      return;
    }
    if (line.back() != '"')
      Problem(name + "'s text does not end in a closing quote: its last character '" +
              visible(line.substr(line.size() - 1)) + "' is dropped");
    if (name == "_SC")
      TooLong("the text sent", script_caret_escapes(*text, '\r').size() + 1,
              kScriptCommandBufferSize - 1);
    if (name == "_QC")
      TooLong("the query", script_caret_escapes(*text, ' ').size(), kScriptCommandBufferSize - 1);
    if (name == "_LC" && !conditional) FUploadCommand = *text;
  }

  void Compare(const std::string& name, const std::string& line, bool conditional) {
    const std::optional<TScriptCompare> compare = script_compare_argument(line);
    if (!compare) {
      Problem(name + " needs its text between two double quotes: the line does nothing");
      return;
    }
    if (compare->Command.empty()) {
      Problem(name + " has no command after its text");
      return;
    }
    if (conditional) return;  // a compare's command is itself checked only once
    FOut << "    when the answer matches: " << visible(compare->Command) << '\n';
    ++FSlotsUsed;
    Command(compare->Command, true);
  }

  // _DY and _LP take a decimal number; the run reads its leading digits
  // and ignores the rest.
  void Number(const std::string& name, const std::string& line) {
    const std::optional<std::string> word = script_word(line);
    if (!word) return;
    size_t digits = (*word)[0] == '-' || (*word)[0] == '+' ? 1 : 0;
    while (digits < word->size() && std::isdigit(static_cast<unsigned char>((*word)[digits])))
      ++digits;
    if (digits == word->size()) return;
    Problem(name + " reads \"" + visible(*word) + "\" as the number " +
            std::to_string(settings_atol(*word)) + "; the rest of the line is ignored");
  }

  // A word argument is the rest of the line: whatever follows a blank in it
  // goes into the field, and then to the unit.
  void WarnAfterWord(const char* what, const std::string& word) {
    const size_t blank = word.find(' ');
    if (blank == std::string::npos) return;
    Problem(std::string(what) + " is \"" + visible(word) +
            "\": everything after the first blank is sent with it");
  }

  void LoadFile(const std::string& line) {
    const TChainStep step = FChain.NameFile(FScript, line);
    if (step.Result == TChainResult::NoArgument) {
      Problem("_LF needs a blank before the file name: the line does nothing");
      return;
    }
    if (step.Result == TChainResult::TooLong) return SectionRefused(step.Why);
    if (step.Result == TChainResult::Failed)
      Problem("cannot open " + visible(FChain.FileName) + " (" + step.Why +
              "): the run shows \"Error! Unable to open file " + visible(FChain.FileName) +
              ". Cannot upload file.\"");
  }

  void LoadAddress(const std::string& line) {
    const TChainStep step = FChain.SetAddress(line);
    if (step.Result == TChainResult::NotReady) {
      Problem("_LA does nothing: no _LF before it named a file that opens");
      return;
    }
    if (step.Result == TChainResult::NoArgument) {
      Problem("_LA needs a blank before the address: the line does nothing");
      return;
    }
    if (step.Result == TChainResult::TooLong) return SectionRefused(step.Why);
    WarnAfterWord("the load address", step.Argument);
    if (step.Result == TChainResult::Failed) {
      Problem("no checksum for " + visible(FChain.FileName) + ": " + step.Why +
              "; its _LV and _LD do nothing");
      return;
    }
    char text[64];
    std::snprintf(text, sizeof text, ": %u bytes, checksum %x", unsigned(FChain.Size),
                  unsigned(FChain.Checksum));
    Note(visible(FChain.FileName) + text);
  }

  void LoadVersion(const std::string& line) {
    const TChainStep step = FChain.SetVersion(line);
    if (step.Result == TChainResult::NotReady) {
      Problem("_LV does nothing: no _LA before it succeeded");
      return;
    }
    if (step.Result == TChainResult::NoArgument) {
      Problem("_LV needs a blank before the version: the line does nothing");
      return;
    }
    if (step.Result == TChainResult::TooLong) return SectionRefused(step.Why);
    WarnAfterWord("the version", step.Argument);
    if (FChain.Version == "DATE")
      Problem("cannot read the date of " + visible(FChain.FileName) + ": the version stays DATE");
  }

  void LoadDo() {
    const TChainStep step = FChain.Announce(FUploadCommand);
    if (step.Result == TChainResult::NotReady) {
      Problem("_LD does nothing: no _LV before it succeeded");
      return;
    }
    if (step.Result == TChainResult::Failed) {
      Problem("the upload line for " + visible(FChain.FileName) + " is not sent: " + step.Why);
      return;
    }
    const std::string upload = FChain.UploadLine(FUploadCommand, size_t(-1));
    TooLong("the upload line", upload.size(), kScriptCommandBufferSize - 1);
    Note("sends \"" + visible(script_field(upload, kScriptCommandBufferSize - 1), true) +
         "\" and " + std::to_string(FChain.Size) + " bytes of " + visible(FChain.FileName));
  }

 private:
  const std::string FScript;
  std::string FUploadCommand;
  std::ostream& FOut;
  int FLine = 0;
  int FSlotsUsed = 0;
  int FProblems = 0;
  TFileChain FChain;
};

}  // namespace

int check_script(const std::string& script, const TLoaderSettings& settings, std::ostream& out,
                 int settingsProblems) {
  const int problems = TScriptCheck(script, settings, out).Run();
  const auto count = [](int n) { return std::to_string(n) + (n == 1 ? " problem" : " problems"); };
  out << script << ": ";
  if (problems == 0 && settingsProblems == 0)
    out << "would run clean\n";
  else if (problems == 0)
    out << "the script is sound, but the settings have " << count(settingsProblems) << '\n';
  else if (settingsProblems == 0)
    out << count(problems) << '\n';
  else
    out << count(problems) << ", and the settings " << count(settingsProblems) << '\n';
  return problems + settingsProblems;
}

}  // namespace kestrel
