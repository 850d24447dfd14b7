#pragma once
// A pseudo-terminal pair for the serial benchmarks: the master side stays
// here, the port opens `slave`. A benchmark that cannot get one ends.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

struct Pty {
  int master = -1;
  std::string slave;
  // `flags` is added to the master's open flags (O_NONBLOCK, say).
  explicit Pty(int flags = 0) {
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | flags);
    char name[128];
    if (master < 0 || ::grantpt(master) || ::unlockpt(master) ||
        ::ptsname_r(master, name, sizeof name)) {
      std::perror("pty");
      std::exit(1);
    }
    slave = name;
  }
  ~Pty() { ::close(master); }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;
};
