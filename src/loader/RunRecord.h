#pragma once
// The record of runs (--record FILE, or KESTREL_RECORD): one JSON object a
// line, appended for every script run, windowed or unattended. A line is
// written whole, in one write of the complete line, and flushed to the disk,
// so that a crash never leaves half a record. A failing write is reported
// once and never stops a run.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kestrel {

// Window thread only.
class TRunRecorder {
 public:
  using TReport = std::function<void(const std::string& text)>;
  // `report` hears of the first failing write; by default it goes to stderr.
  explicit TRunRecorder(std::string path, TReport report = {});

  const std::string& Path() const { return FPath; }

  // A run begins: everything gathered for the previous one is dropped.
  void Start();
  bool Running() const { return FRunning; }

  void Script(const std::string& name) { FScript = name; }
  struct TPort {
    int ComNumber = 0;
    std::string Path;  // empty: no port open
    long Baud = 0;
    int DataBits = 0;
    std::string Parity;
    int StopBits = 0;
  };
  void Port(const TPort& port) { FPort = port; }

  // Every non-blank status text; the last one is the run's status.
  void Status(const std::string& text);
  // A message box (`note` false, an error) or a script's note.
  void Message(const std::string& text, bool note = false);
  // Error messages since Start.
  int ErrorCount() const { return FErrors; }

  void UploadStarted(const std::string& file, uint32_t size, uint32_t checksum,
                     const std::string& address, const std::string& version);
  // The last block has left: the upload's time ends here.
  void UploadSent();
  // "ok", "failed" or "not sent".
  void UploadEnded(const std::string& result);

  // Ends the run and appends its line: `outcome` says how the run ended
  // ("finished", "stopped", "cannot open", "no unit"), `exitCode` the exit
  // status it has (or would have, unattended).
  void Finish(const std::string& outcome, int exitCode);

  // The line Finish writes, without its line feed.
  std::string Line(const std::string& outcome, int exitCode) const;

 private:
  struct TUpload {
    std::string File, Address, Version, Result;
    uint32_t Size = 0, Checksum = 0;
    std::chrono::steady_clock::time_point Began, Sent;
    bool WasSent = false;
  };
  struct TMessage {
    std::string Text;
    bool Note = false;
  };

  void Append(const std::string& line);

  std::string FPath;
  TReport FReport;
  bool FReported = false;
  bool FRunning = false;
  std::chrono::system_clock::time_point FStart;
  std::string FScript;
  TPort FPort;
  std::string FStatus;
  int FErrors = 0;
  std::vector<TUpload> FUploads;
  std::vector<TMessage> FMessages;
};

// `text` as a JSON string, quotes included.
std::string json_string(const std::string& text);

}  // namespace kestrel
