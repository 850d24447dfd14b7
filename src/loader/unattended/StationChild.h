#pragma once
// The process that serves one port of a station: this program again, as a
// one-port station, with the port's device in its environment. It runs in
// a process group of its own, so that Ctrl+C reaches it only through the
// supervisor, once; it ends with the supervisor. Its stderr and its events
// come back through two pipes that the supervisor reads.

#include <sys/types.h>

#include <string>
#include <vector>

namespace kestrel {

// Where the child finds the write end of its event pipe.
inline constexpr int kStationChildEventFd = 3;

// One thread only.
class TStationChild {
 public:
  // Starts `program` with `args`, the environment of this process and
  // `environment` ("NAME=value", in place of any of that name), stdin on
  // /dev/null, its event pipe at kStationChildEventFd. Started() says
  // whether it could.
  TStationChild(const std::string& program, const std::vector<std::string>& args,
                const std::vector<std::string>& environment);
  ~TStationChild();
  TStationChild(const TStationChild&) = delete;
  TStationChild& operator=(const TStationChild&) = delete;

  bool Started() const { return FPid > 0; }
  pid_t Pid() const { return FPid; }
  int EventFd() const { return FEvents; }
  int ErrorFd() const { return FErrors; }
  // What start-up failed with, when it did.
  const std::string& Failure() const { return FFailure; }

  void Signal(int signal);
  // Takes the exit status waitpid reported for it.
  void Ended(int status);
  bool Running() const { return FPid > 0 && !FEnded; }
  int Status() const { return FStatus; }

  // Reads what the pipes hold without waiting; the complete lines go to
  // `events` and `errors`. True while a pipe is still open.
  bool Drain(std::vector<std::string>& events, std::vector<std::string>& errors);

 private:
  pid_t FPid = -1;
  int FEvents = -1;
  int FErrors = -1;
  std::string FEventPart;
  std::string FErrorPart;
  std::string FFailure;
  bool FEnded = false;
  int FStatus = 0;
};

// How a child ended, in words: "exit status 1", "SIGKILL".
std::string child_end_text(int status);

}  // namespace kestrel
