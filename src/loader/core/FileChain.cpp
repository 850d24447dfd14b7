#include "loader/core/FileChain.h"

#include <cctype>
#include <optional>

#include "loader/core/ScriptArguments.h"
#include "loader/core/ScriptReader.h"

namespace kestrel {

namespace {

TChainStep step(TChainResult result, std::string argument = {}, std::string why = {}) {
  return TChainStep{result, std::move(argument), std::move(why)};
}

}  // namespace

bool is_upload_section_command(std::string_view command) {
  return command == "_LF" || command == "_LA" || command == "_LV" || command == "_LD";
}

TChainStep TFileChain::NameFile(const std::string& scriptName, std::string_view line) {
  const std::optional<std::string> word = script_word(line);
  if (!word) return step(TChainResult::NoArgument);
  NameAsWritten = script_field(*word, kScriptUploadFileNameSize - 1);
  FileName = script_file_path(scriptName, NameAsWritten);
  // An upload announces only the file it sends: whatever the chain held for
  // an earlier file is dropped, so the next _LD needs this file's own _LA.
  Drop();
  if (std::string why =
          script_too_long("the file name", word->size(), kScriptUploadFileNameSize - 1);
      !why.empty())
    return step(TChainResult::TooLong, *word, std::move(why));
  std::string why;
  if (!open_file_for_read(FileName, &why)) return step(TChainResult::Failed, *word, why);
  FFileNamed = true;
  return step(TChainResult::Done, *word);
}

TChainStep TFileChain::SetAddress(std::string_view line) {
  if (!FFileNamed) return step(TChainResult::NotReady);
  const std::optional<std::string> word = script_word(line);
  if (!word) return step(TChainResult::NoArgument);
  FFileNamed = false;
  Address = script_field(*word, kScriptLoadAddressSize - 1);
  if (std::string why =
          script_too_long("the load address", word->size(), kScriptLoadAddressSize - 1);
      !why.empty())
    return step(TChainResult::TooLong, *word, std::move(why));
  std::string why;
  if (!TakeChecksum(&why)) return step(TChainResult::Failed, *word, why);
  FAddressSet = true;
  return step(TChainResult::Done, *word);
}

TChainStep TFileChain::SetVersion(std::string_view line) {
  if (!FAddressSet) return step(TChainResult::NotReady);
  const std::optional<std::string> word = script_word(line);
  if (!word) return step(TChainResult::NoArgument);
  FAddressSet = false;
  Version = script_field(*word, kScriptVersionTextSize - 1);
  if (std::string why = script_too_long("the version", word->size(), kScriptVersionTextSize - 1);
      !why.empty())
    return step(TChainResult::TooLong, *word, std::move(why));
  for (char& c : Version) c = char(std::toupper(static_cast<unsigned char>(c)));
  FVersionSet = true;
  std::string why;
  if (Version == "DATE" && !TakeFileDate(&why)) return step(TChainResult::Failed, *word, why);
  return step(TChainResult::Done, *word);
}

TChainStep TFileChain::CutLine(const std::string& scriptName, std::string_view line,
                               size_t length) {
  std::string why = script_line_too_long(length);
  std::string argument;
  if (line.substr(0, 3) == "_LF") {
    if (const std::optional<std::string> word = script_word(line)) {
      FileName = script_file_path(scriptName, *word);
      argument = *word;
    }
  }
  Drop();
  return step(TChainResult::TooLong, std::move(argument), std::move(why));
}

TChainStep TFileChain::Announce(const std::string& uploadCommand) {
  if (!FVersionSet) return step(TChainResult::NotReady);
  FVersionSet = false;
  // A line the unit would misread is never sent.
  std::string fault = upload_line_fault(uploadCommand, Address, Version);
  if (!fault.empty()) return step(TChainResult::Failed, {}, std::move(fault));
  return step(TChainResult::Done);
}

std::string TFileChain::UploadLine(const std::string& uploadCommand, size_t limit) const {
  return script_upload_line(uploadCommand, Address, Size, Checksum, Version, limit);
}

bool TFileChain::TakeChecksum(std::string* why) {
  const std::optional<TFileSum> sum = file_size_and_checksum(FileName, why);
  if (!sum) return false;
  Size = sum->Size;
  Checksum = sum->Checksum;
  return true;
}

bool TFileChain::TakeFileDate(std::string* why) {
  const TFilePtr file = open_file_for_read(FileName, why);
  if (!file) return false;
  if (const std::optional<std::tm> stamp = file_local_modification_time(file.get()))
    Version = script_field(script_date_text(*stamp), kScriptVersionTextSize - 1);
  return true;
}

TFilePtr TFileChain::HoldFile(std::string* why) const {
  std::string reason;
  TFilePtr file = open_file_for_read(FileName, &reason);
  std::optional<uint64_t> size;
  if (file) size = open_file_size(file.get());
  if (file && size == Size) return file;
  if (file)
    reason = "it is " + (size ? std::to_string(*size) : std::string("of unknown size")) +
             " bytes now, " + std::to_string(Size) + " when its checksum was taken";
  if (why) *why = reason;
  return nullptr;
}

}  // namespace kestrel
