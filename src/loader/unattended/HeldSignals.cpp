#include "loader/unattended/HeldSignals.h"

namespace kestrel {

THeldSignals::THeldSignals(std::initializer_list<int> caught, void (*handler)(int)) {
  const auto hold = [this](int signal, void (*to)(int)) {
    struct sigaction action {};
    action.sa_handler = to;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    FReplaced.emplace_back();
    FReplaced.back().first = signal;
    ::sigaction(signal, &action, &FReplaced.back().second);
  };
  for (int signal : caught) hold(signal, handler);
  hold(SIGPIPE, SIG_IGN);
}

THeldSignals::~THeldSignals() {
  for (const auto& [signal, replaced] : FReplaced) ::sigaction(signal, &replaced, nullptr);
}

}  // namespace kestrel
