// kestrel-unit-sim: the simulated unit on a new pseudo-terminal. Prints the
// terminal's path as its first line, then serves until SIGINT, SIGTERM or
// SIGHUP.

#include <signal.h>
#include <sys/signalfd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "serialdevice/AwFd.h"
#include "unitsim/UnitOptions.h"
#include "unitsim/UnitPty.h"

namespace {

void Usage(std::FILE* to) {
  std::fprintf(to,
               "usage: kestrel-unit-sim [--option[=value] ...]\n"
               "Opens a pseudo-terminal, prints its path on the first line of stdout and\n"
               "answers on it as the unit does until stopped. Options:\n%s"
               "Images and records go to ./unit-flash unless --dir says otherwise.\n",
               kestrel::UnitOptionsHelp());
}

}  // namespace

int main(int argc, char** argv) {
  kestrel::TUnitOptions options;
  options.Dir = "unit-flash";
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      Usage(stdout);
      return 0;
    }
    if (arg.substr(0, 2) != "--") {
      std::fprintf(stderr, "kestrel-unit-sim: unexpected argument '%s'\n", argv[i]);
      Usage(stderr);
      return 2;
    }
    arg.remove_prefix(2);
    size_t eq = arg.find('=');
    bool hasValue = eq != std::string_view::npos;
    std::string error;
    if (!kestrel::SetUnitOption(options, hasValue ? arg.substr(0, eq) : arg,
                                hasValue ? arg.substr(eq + 1) : std::string_view(), hasValue,
                                error)) {
      std::fprintf(stderr, "kestrel-unit-sim: %s\n", error.c_str());
      return 2;
    }
  }

  // Stop signals arrive as a readable descriptor the serving loop watches.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
  kestrel::TApdFd stopFd(signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!stopFd.valid()) {
    std::perror("kestrel-unit-sim: signalfd");
    return 1;
  }

  kestrel::TUnitPtyServer server(options);
  if (int rc = server.Open(); rc != 0) {
    std::fprintf(stderr, "kestrel-unit-sim: cannot open a pseudo-terminal: %s\n",
                 std::strerror(-rc));
    return 1;
  }
  server.Session().OnUpload = [](const kestrel::TUnitUpload& upload) {
    std::fprintf(stderr, "kestrel-unit-sim: upload to %s, %lld of %lld bytes: %s\n",
                 upload.Address.c_str(), static_cast<long long>(upload.Received),
                 static_cast<long long>(upload.Size), kestrel::UploadResultText(upload.Result));
  };
  if (!server.Session().Recorder().Error().empty()) {
    std::fprintf(stderr, "kestrel-unit-sim: %s\n", server.Session().Recorder().Error().c_str());
  }
  std::printf("%s\n", server.SlavePath().c_str());
  std::fflush(stdout);
  std::fprintf(stderr, "kestrel-unit-sim: serving on %s%s%s\n", server.SlavePath().c_str(),
               options.Dir.empty() ? "" : ", images in ", options.Dir.c_str());

  int rc = server.Serve(stopFd.get());
  if (rc != 0) {
    std::fprintf(stderr, "kestrel-unit-sim: %s\n", std::strerror(-rc));
    return 1;
  }
  return 0;
}
