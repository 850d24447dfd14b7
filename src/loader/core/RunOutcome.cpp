#include "loader/core/RunOutcome.h"

namespace kestrel {

const char* file_result_text(TFileResult result) {
  switch (result) {
    case TFileResult::Ok:
      return "ok";
    case TFileResult::Failed:
      return "failed";
    case TFileResult::Cancelled:
      return "cancelled";
    case TFileResult::Interrupted:
      return "interrupted";
    case TFileResult::NotSent:
      break;
  }
  return "not sent";
}

double TNamedFile::Seconds() const {
  if (!Announced) return 0;
  return std::chrono::duration<double>((WasSent ? Sent : std::chrono::steady_clock::now()) - Began)
      .count();
}

void TRunOutcome::Begin() {
  *this = TRunOutcome();
}

void TRunOutcome::Named(const std::string& file) {
  // A file named before and never uploaded stays in the table: the script
  // named it, so the run did not load everything it was meant to.
  if (TNamedFile* earlier = Pending(); earlier && earlier->Message.empty())
    earlier->Message = "not sent: a later _LF named another file before its _LD";
  TNamedFile named;
  named.File = file;
  FFiles.push_back(named);
}

TNamedFile* TRunOutcome::Pending() {
  if (FFiles.empty()) return nullptr;
  TNamedFile& last = FFiles.back();
  return last.Announced || last.Result != TFileResult::NotSent ? nullptr : &last;
}

TNamedFile* TRunOutcome::Uploading() {
  if (FFiles.empty()) return nullptr;
  TNamedFile& last = FFiles.back();
  return last.Announced && last.Result == TFileResult::NotSent ? &last : nullptr;
}

void TRunOutcome::Explain(const std::string& message) {
  if (TNamedFile* file = Pending(); file && file->Message.empty()) file->Message = message;
}

void TRunOutcome::UploadStarted(const std::string& file, uint32_t size, uint32_t checksum,
                                const std::string& address, const std::string& version) {
  if (TNamedFile* under = Uploading(); under && under->File == file) return;
  TNamedFile* upload = Pending();
  if (!upload || upload->File != file) {
    Named(file);
    upload = &FFiles.back();
  }
  upload->Announced = true;
  upload->Message.clear();
  upload->Size = size;
  upload->Checksum = checksum;
  upload->Address = address;
  upload->Version = version;
  upload->Began = std::chrono::steady_clock::now();
}

void TRunOutcome::UploadSent() {
  TNamedFile* upload = Uploading();
  if (!upload || upload->WasSent) return;
  upload->Sent = std::chrono::steady_clock::now();
  upload->WasSent = true;
}

void TRunOutcome::UploadEnded(TFileResult result, const std::string& message) {
  TNamedFile* upload = Uploading();
  if (!upload) return;
  UploadSent();
  upload->Result = result;
  if (result != TFileResult::Ok) upload->Message = message;
}

void TRunOutcome::UploadConfirmed() {
  if (FFiles.empty()) return;
  TNamedFile& last = FFiles.back();
  if (!last.Announced ||
      (last.Result != TFileResult::NotSent && last.Result != TFileResult::Interrupted))
    return;
  UploadSent();
  if (!last.WasSent) {
    last.Sent = std::chrono::steady_clock::now();
    last.WasSent = true;
  }
  last.Result = TFileResult::Ok;
  last.Message.clear();
}

void TRunOutcome::Interrupt(const std::string& why) {
  FEnd = TRunEnd::Interrupted;
  if (TNamedFile* upload = Uploading()) {
    upload->Result = TFileResult::Interrupted;
    upload->Message = why;
  }
  for (TNamedFile& file : FFiles)
    if (file.Result == TFileResult::NotSent && file.Message.empty()) file.Message = why;
}

bool TRunOutcome::Succeeded() const {
  return FEnd == TRunEnd::Finished && !FCancelled && FErrors == 0 &&
         FilesLoaded() == int(FFiles.size());
}

int TRunOutcome::FilesLoaded() const {
  int loaded = 0;
  for (const TNamedFile& file : FFiles) loaded += file.Result == TFileResult::Ok;
  return loaded;
}

uint64_t TRunOutcome::BytesLoaded() const {
  uint64_t bytes = 0;
  for (const TNamedFile& file : FFiles)
    if (file.Result == TFileResult::Ok) bytes += file.Size;
  return bytes;
}

}  // namespace kestrel
