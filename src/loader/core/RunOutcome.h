#pragma once
// What a script run did with every file it named, and how it ended. The run
// succeeds only when it went through to its end, nothing cancelled it, no
// error was reported and every file it named was loaded whole; the window's
// status line, the exit status of an unattended run and the run record all
// read it from here.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrel {

enum class TFileResult { NotSent, Ok, Failed, Cancelled, Interrupted };
// "not sent", "ok", "failed", "cancelled", "interrupted".
const char* file_result_text(TFileResult result);

// One file the script named with _LF, and what became of it.
struct TNamedFile {
  std::string File;  // the path the run opened
  TFileResult Result = TFileResult::NotSent;
  std::string Message;  // why it was not loaded; empty when it was
  // What the upload line announced, once _LD sent it.
  bool Announced = false;
  uint32_t Size = 0;
  uint32_t Checksum = 0;
  std::string Address, Version;
  std::chrono::steady_clock::time_point Began, Sent;
  bool WasSent = false;  // the last block has left

  double Seconds() const;
};

// How a run came to its end.
enum class TRunEnd {
  NotRun,       // no unit answered: the script never started
  CannotOpen,   // the script could not be opened
  Stopped,      // a command stopped the run
  Finished,     // the script was read to its end
  Interrupted,  // the operator closed the window or a signal ended the run
};

// Window thread only.
class TRunOutcome {
 public:
  // A run begins: what the previous one gathered is dropped.
  void Begin();
  void End(TRunEnd end) { FEnd = end; }
  TRunEnd End() const { return FEnd; }

  // _LF named a file.
  void Named(const std::string& file);
  // The file the next upload would send: the last one named, while it is
  // still waiting for its upload; null otherwise.
  TNamedFile* Pending();
  // Says why the pending file was not loaded, unless something already did.
  void Explain(const std::string& message);

  // _LD has announced the pending file (or, without one, a file of its own);
  // said again for the upload under way, it changes nothing.
  void UploadStarted(const std::string& file, uint32_t size, uint32_t checksum,
                     const std::string& address, const std::string& version);
  void UploadSent();
  // The upload being sent ended as `result`; `message` says why when it failed.
  void UploadEnded(TFileResult result, const std::string& message = {});
  // The unit confirmed the upload being sent: it is loaded, also when a stop
  // came in the meantime.
  void UploadConfirmed();

  // The script names this many files, whether the run reaches them or not.
  void ScriptNames(int files) { FFilesInScript = files; }
  // Every file the script names or the run met.
  int FilesNamed() const { return std::max(FFilesInScript, int(FFiles.size())); }

  // The run is cut short: an upload under way ends interrupted, and every
  // file still waiting says so.
  void Interrupt(const std::string& why);
  bool Interrupted() const { return FEnd == TRunEnd::Interrupted; }

  void ErrorReported() { ++FErrors; }
  int Errors() const { return FErrors; }
  void SetCancelled(bool cancelled) { FCancelled = cancelled; }

  bool Succeeded() const;
  const std::vector<TNamedFile>& Files() const { return FFiles; }
  int FilesLoaded() const;
  uint64_t BytesLoaded() const;

 private:
  TNamedFile* Uploading();

  std::vector<TNamedFile> FFiles;
  TRunEnd FEnd = TRunEnd::NotRun;
  int FErrors = 0;
  bool FCancelled = false;
  int FFilesInScript = 0;
};

}  // namespace kestrel
