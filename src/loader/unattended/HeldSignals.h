#pragma once
// Signal dispositions held for as long as an object lives: a handler for
// the signals given, SIGPIPE ignored (a reader of our output that goes away
// must not end the program), and what they replaced back when it goes.

#include <signal.h>

#include <initializer_list>
#include <utility>
#include <vector>

namespace kestrel {

class THeldSignals {
 public:
  THeldSignals(std::initializer_list<int> caught, void (*handler)(int));
  ~THeldSignals();
  THeldSignals(const THeldSignals&) = delete;
  THeldSignals& operator=(const THeldSignals&) = delete;

 private:
  std::vector<std::pair<int, struct sigaction>> FReplaced;
};

}  // namespace kestrel
