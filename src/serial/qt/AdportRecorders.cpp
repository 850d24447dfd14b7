// TApdCustomComPort: the Tracing and Logging properties and the operations
// on the dispatcher's trace and dispatch log.

#include <algorithm>

#include "serial/Awuser.h"
#include "serial/qt/Adport.h"

namespace kestrel {

// One recorder's operations on the dispatcher.
struct TApdRecorderOps {
  int (TApdBaseDispatcher::*Init)(uint32_t);
  int (TApdBaseDispatcher::*Start)();
  int (TApdBaseDispatcher::*Stop)();
  int (TApdBaseDispatcher::*Clear)();
  int (TApdBaseDispatcher::*Abort)();
  int (TApdBaseDispatcher::*Dump)(const std::string&, bool, bool);
  int (TApdBaseDispatcher::*Append)(const std::string&, bool, bool);
};

namespace {

const TApdRecorderOps& TraceOps() {
  static const TApdRecorderOps ops{
      &TApdBaseDispatcher::InitTracing,  &TApdBaseDispatcher::StartTracing,
      &TApdBaseDispatcher::StopTracing,  &TApdBaseDispatcher::ClearTracing,
      &TApdBaseDispatcher::AbortTracing, &TApdBaseDispatcher::DumpTrace,
      &TApdBaseDispatcher::AppendTrace};
  return ops;
}

const TApdRecorderOps& LogOps() {
  static const TApdRecorderOps ops{
      &TApdBaseDispatcher::InitDispatchLogging,  &TApdBaseDispatcher::StartDispatchLogging,
      &TApdBaseDispatcher::StopDispatchLogging,  &TApdBaseDispatcher::ClearDispatchLogging,
      &TApdBaseDispatcher::AbortDispatchLogging, &TApdBaseDispatcher::DumpDispatchLog,
      &TApdBaseDispatcher::AppendDispatchLog};
  return ops;
}

bool Active(TTraceLogState state) {
  return state == tlOn || state == tlPause;
}

// A recorder needs room for one entry at least.
uint32_t Room(uint32_t size) {
  return std::max<uint32_t>(size, 1);
}

}  // namespace

void TApdCustomComPort::ApplyRecorder(TTraceLogState& property, TTraceLogState request,
                                      const TApdRecorderOps& ops, uint32_t size,
                                      const std::string& name, bool hex, bool allHex) {
  if (request == property && !Force_) return;
  TApdBaseDispatcher* d = OpenDispatcher();
  if (!d) {
    // Closed: only on or off is kept, for the next open.
    property = request == tlOn ? tlOn : tlOff;
    return;
  }
  int rc = 0;
  switch (request) {
    case tlOff:
      if (Active(property)) rc = (d->*ops.Abort)();
      property = tlOff;
      break;
    case tlOn:
      rc = property == tlPause ? (d->*ops.Start)() : (d->*ops.Init)(Room(size));
      property = rc < 0 ? tlOff : tlOn;
      break;
    case tlDump:
    case tlAppend:
      if (Active(property)) {
        (d->*ops.Start)();
        rc = (d->*(request == tlDump ? ops.Dump : ops.Append))(name, hex, allHex);
      }
      // The recorder is gone, whether the file could be written or not.
      property = tlOff;
      break;
    case tlClear:
      if (Active(property)) rc = (d->*ops.Clear)();
      break;
    case tlPause:
      if (property == tlOn) {
        rc = (d->*ops.Stop)();
        property = tlPause;
      }
      break;
  }
  if (rc < 0) Check(rc);
}

void TApdCustomComPort::SetTracing(TTraceLogState state) {
  ApplyRecorder(Tracing_, state, TraceOps(), TraceSize_, TraceName_, TraceHex_, TraceAllHex_);
}

void TApdCustomComPort::SetLogging(TTraceLogState state) {
  ApplyRecorder(Logging_, state, LogOps(), LogSize_, LogName_, LogHex_, LogAllHex_);
}

void TApdCustomComPort::SetTraceSize(uint32_t size) {
  size = std::min(size, MaxTraceSize);
  if (size == TraceSize_) return;
  TraceSize_ = size;
  // A running trace starts again with the new size.
  if (auto* d = OpenDispatcher(); d && Active(Tracing_)) {
    d->AbortTracing();
    Tracing_ = tlOff;
    Check(d->InitTracing(Room(size)));
    Tracing_ = tlOn;
  }
}

void TApdCustomComPort::SetLogSize(uint32_t size) {
  size = std::min(size, MaxLogSize);
  if (size == LogSize_) return;
  LogSize_ = size;
  if (auto* d = OpenDispatcher(); d && Active(Logging_)) {
    d->AbortDispatchLogging();
    Logging_ = tlOff;
    Check(d->InitDispatchLogging(Room(size)));
    Logging_ = tlOn;
  }
}

void TApdCustomComPort::DumpRecordersAtClose() {
  for (auto set : {&TApdCustomComPort::SetTracing, &TApdCustomComPort::SetLogging}) {
    try {
      (this->*set)(tlDump);
    } catch (const std::exception& e) {
      ShowException(e);
    }
  }
}

// ---- operations ----

void TApdCustomComPort::InitTracing(uint32_t entries) {
  TraceSize_ = std::min(entries, MaxTraceSize);
  if (auto* d = ValidDispatcher()) {
    const int rc = d->InitTracing(Room(TraceSize_));
    Tracing_ = rc < 0 ? tlOff : tlOn;
    Check(rc);
  }
}

void TApdCustomComPort::DumpTrace(const std::string& name, bool hex) {
  if (auto* d = ValidDispatcher()) {
    const int rc = d->DumpTrace(name, hex, TraceAllHex_);
    Tracing_ = tlOff;
    Check(rc);
  }
}

void TApdCustomComPort::AppendTrace(const std::string& name, bool hex) {
  if (auto* d = ValidDispatcher()) {
    const int rc = d->AppendTrace(name, hex, TraceAllHex_);
    Tracing_ = tlOff;
    Check(rc);
  }
}

void TApdCustomComPort::ClearTracing() {
  if (auto* d = ValidDispatcher()) Check(d->ClearTracing());
}

void TApdCustomComPort::AbortTracing() {
  if (auto* d = ValidDispatcher()) {
    Check(d->AbortTracing());
    Tracing_ = tlOff;
  }
}

void TApdCustomComPort::StartTracing() {
  if (auto* d = ValidDispatcher()) {
    Check(d->StartTracing());
    if (Tracing_ == tlPause) Tracing_ = tlOn;
  }
}

void TApdCustomComPort::StopTracing() {
  if (auto* d = ValidDispatcher()) {
    Check(d->StopTracing());
    if (Tracing_ == tlOn) Tracing_ = tlPause;
  }
}

void TApdCustomComPort::AddTraceEntry(char kind, char data) {
  if (auto* d = ValidDispatcher()) Check(d->AddTraceEntry(kind, static_cast<uint8_t>(data)));
}

void TApdCustomComPort::InitLogging(uint32_t size) {
  if (size != 0) LogSize_ = std::min(size, MaxLogSize);
  if (auto* d = ValidDispatcher()) {
    const int rc = d->InitDispatchLogging(Room(LogSize_));
    Logging_ = rc < 0 ? tlOff : tlOn;
    Check(rc);
  }
}

void TApdCustomComPort::DumpLog(const std::string& name, bool hex) {
  if (auto* d = ValidDispatcher()) {
    const int rc = d->DumpDispatchLog(name, hex, LogAllHex_);
    Logging_ = tlOff;
    Check(rc);
  }
}

void TApdCustomComPort::AppendLog(const std::string& name, bool hex) {
  if (auto* d = ValidDispatcher()) {
    const int rc = d->AppendDispatchLog(name, hex, LogAllHex_);
    Logging_ = tlOff;
    Check(rc);
  }
}

void TApdCustomComPort::ClearLogging() {
  if (auto* d = ValidDispatcher()) Check(d->ClearDispatchLogging());
}

void TApdCustomComPort::AbortLogging() {
  if (auto* d = ValidDispatcher()) {
    Check(d->AbortDispatchLogging());
    Logging_ = tlOff;
  }
}

void TApdCustomComPort::StartLogging() {
  if (auto* d = ValidDispatcher()) {
    Check(d->StartDispatchLogging());
    if (Logging_ == tlPause) Logging_ = tlOn;
  }
}

void TApdCustomComPort::StopLogging() {
  if (auto* d = ValidDispatcher()) {
    Check(d->StopDispatchLogging());
    if (Logging_ == tlOn) Logging_ = tlPause;
  }
}

void TApdCustomComPort::AddStringToLog(std::string_view text) {
  if (auto* d = ValidDispatcher()) Check(d->AddStringToLog(text));
}

}  // namespace kestrel
