#include "loader/unattended/StationChild.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace kestrel {

namespace {

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Reads what `fd` holds; complete lines go to `lines`. False at its end.
bool drain_lines(int& fd, std::string& part, std::vector<std::string>& lines) {
  if (fd < 0) return false;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      part.append(buffer, size_t(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) break;
    close_fd(fd);
    break;
  }
  for (size_t end; (end = part.find('\n')) != std::string::npos;) {
    lines.push_back(part.substr(0, end));
    part.erase(0, end + 1);
  }
  // What a child left unfinished still counts once it has gone.
  if (fd < 0 && !part.empty()) {
    lines.push_back(part);
    part.clear();
  }
  return fd >= 0;
}

}  // namespace

TStationChild::TStationChild(const std::string& program, const std::vector<std::string>& args,
                             const std::vector<std::string>& environment) {
  int events[2] = {-1, -1};
  int errors[2] = {-1, -1};
  if (::pipe2(events, O_CLOEXEC) != 0 || ::pipe2(errors, O_CLOEXEC) != 0) {
    FFailure = std::string("no pipe: ") + std::strerror(errno);
    for (int fd : {events[0], events[1], errors[0], errors[1]})
      if (fd >= 0) ::close(fd);
    return;
  }
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('=') + 1);
    bool replaced = false;
    for (const std::string& own : environment) replaced = replaced || own.rfind(name, 0) == 0;
    if (!replaced) env.push_back(entry);
  }
  env.insert(env.end(), environment.begin(), environment.end());
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> all = {program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);

  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Only calls that are safe after fork from here on.
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);
    const int null = ::open("/dev/null", O_RDONLY);
    if (null < 0 || ::dup2(null, 0) < 0 || ::dup2(errors[1], 2) < 0 ||
        ::dup2(events[1], kStationChildEventFd) < 0)
      ::_exit(127);
    // What the supervisor ignores or handles, the child starts with afresh.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD}) ::sigaction(s, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(events[1]);
  ::close(errors[1]);
  if (pid < 0) {
    FFailure = std::string("cannot start a process: ") + std::strerror(errno);
    ::close(events[0]);
    ::close(errors[0]);
    return;
  }
  // Also in the parent, so that no Ctrl+C reaches it before it has its own group.
  ::setpgid(pid, pid);
  FPid = pid;
  FEvents = events[0];
  FErrors = errors[0];
  ::fcntl(FEvents, F_SETFL, O_NONBLOCK);
  ::fcntl(FErrors, F_SETFL, O_NONBLOCK);
}

TStationChild::~TStationChild() {
  if (Running()) {
    ::kill(FPid, SIGKILL);
    ::waitpid(FPid, nullptr, 0);
  }
  close_fd(FEvents);
  close_fd(FErrors);
}

void TStationChild::Signal(int signal) {
  if (Running()) ::kill(FPid, signal);
}

void TStationChild::Ended(int status) {
  FEnded = true;
  FStatus = status;
}

bool TStationChild::Drain(std::vector<std::string>& events, std::vector<std::string>& errors) {
  const bool eventsOpen = drain_lines(FEvents, FEventPart, events);
  const bool errorsOpen = drain_lines(FErrors, FErrorPart, errors);
  return eventsOpen || errorsOpen;
}

std::string child_end_text(int status) {
  if (WIFSIGNALED(status)) {
    const int signal = WTERMSIG(status);
    const char* name = sigabbrev_np(signal);
    return name ? std::string("SIG") + name : "signal " + std::to_string(signal);
  }
  return "exit status " + std::to_string(WEXITSTATUS(status));
}

}  // namespace kestrel
