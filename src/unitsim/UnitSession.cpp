#include "unitsim/UnitSession.h"

#include <algorithm>

namespace kestrel {

TUnitSession::TUnitSession(const TUnitOptions& options)
    : start_(std::chrono::steady_clock::now()), engine_(options, 0), recorder_(options) {}

int64_t TUnitSession::NowMs() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start_)
      .count();
}

void TUnitSession::Collect() {
  for (const TUnitUpload& upload : engine_.TakeUploads()) {
    recorder_.Uploaded(upload);
    if (OnUpload) OnUpload(upload);
  }
}

void TUnitSession::Received(std::string_view bytes) {
  const int64_t now = NowMs();
  recorder_.Received(bytes, now);
  engine_.Receive(bytes, now);
  Collect();
}

std::string TUnitSession::TakeOutput() {
  const int64_t now = NowMs();
  engine_.Advance(now);
  Collect();
  return engine_.TakeOutput(now);
}

int TUnitSession::WaitMs(int cap) const {
  const int64_t next = engine_.NextEventMs();
  if (next == INT64_MAX) return cap;
  const int64_t now = NowMs();
  if (next <= now) return 0;
  return static_cast<int>(std::min<int64_t>(next - now, cap));
}

}  // namespace kestrel
