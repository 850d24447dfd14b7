// The trace and the dispatcher's trace operations.

#include "serial/AwuserTrace.h"

#include <new>

#include "messages/AdErrorCodes.h"
#include "serial/Awuser.h"
#include "serial/AwuserRecordText.h"

namespace kestrel {

TApdTraceRecorder::TApdTraceRecorder(uint32_t entries)
    : Entries_(std::make_unique<TEntry[]>(entries)), Size_(entries) {}

void TApdTraceRecorder::Clear() {
  Position_ = 0;
  Wrapped_ = false;
}

void TApdTraceRecorder::Add(char kind, uint8_t byte) {
  Entries_[Position_] = {kind, byte};
  if (++Position_ == Size_) {
    Position_ = 0;
    Wrapped_ = true;
  }
}

int TApdTraceRecorder::Write(const std::string& file, bool hex, bool allHex, bool append) const {
  TApdRecordFile out(file, append);
  if (out.OpenResult() != 0) return out.OpenResult();
  TApdByteColumns columns(out, 0, 0);
  const uint32_t count = Wrapped_ ? Size_ : Position_;
  const uint32_t oldest = Wrapped_ ? Position_ : 0;
  char previous = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const TEntry& e = Entries_[(oldest + i) % Size_];
    if (i == 0 || e.Kind != previous) {
      if (i != 0) out.Write("\n\n", 2);
      if (e.Kind == 'T') {
        out.Write("Transmit: \n");
      } else if (e.Kind == 'R') {
        out.Write("Receive: \n");
      } else {
        out.Write("Special-");
        out.Put(e.Kind);
        out.Write(": \n");
      }
      columns.Restart(0);
      previous = e.Kind;
    }
    columns.Byte(e.Byte, hex, allHex);
  }
  return out.Close();
}

// ---------------------------------------------------------------------------
// The dispatcher's side

void TApdBaseDispatcher::SetTraceRecording(bool on) {
  if (Trace_) Trace_->Recording = on;
  TraceActive_ = Trace_ && Trace_->Recording;
}

int TApdBaseDispatcher::InitTracing(uint32_t entries) {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  if (Trace_) {
    Trace_->Clear();
  } else {
    if (entries == 0 || entries > TApdTraceRecorder::MaxEntries) return ecBadArgument;
    try {
      Trace_ = std::make_unique<TApdTraceRecorder>(entries);
    } catch (const std::bad_alloc&) {
      return ecOutOfMemory;
    }
  }
  SetTraceRecording(true);
  return 0;
}

int TApdBaseDispatcher::StartTracing() {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  SetTraceRecording(true);
  return 0;
}

int TApdBaseDispatcher::StopTracing() {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  SetTraceRecording(false);
  return 0;
}

int TApdBaseDispatcher::ClearTracing() {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  if (Trace_) Trace_->Clear();
  return 0;
}

int TApdBaseDispatcher::AbortTracing() {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  Trace_.reset();
  SetTraceRecording(false);
  return 0;
}

int TApdBaseDispatcher::AddTraceEntry(char kind, uint8_t byte) {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  if (Trace_ && Trace_->Recording) Trace_->Add(kind, byte);
  return 0;
}

void TApdBaseDispatcher::TraceBytes(char kind, const uint8_t* data, int n) {
  if (!TraceActive_.load(std::memory_order_relaxed)) return;
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  if (!Trace_ || !Trace_->Recording) return;
  for (int i = 0; i < n; ++i) Trace_->Add(kind, data[i]);
}

int TApdBaseDispatcher::WriteTrace(const std::string& file, bool hex, bool allHex, bool append) {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  if (!Trace_) return 0;
  SetTraceRecording(false);
  const int rc = Trace_->Empty() ? 0 : Trace_->Write(file, hex, allHex, append);
  // Written or not, the trace is over.
  Trace_.reset();
  SetTraceRecording(false);
  return rc;
}

int TApdBaseDispatcher::DumpTrace(const std::string& file, bool hex, bool allHex) {
  return WriteTrace(file, hex, allHex, false);
}

int TApdBaseDispatcher::AppendTrace(const std::string& file, bool hex, bool allHex) {
  return WriteTrace(file, hex, allHex, true);
}

}  // namespace kestrel
