// The query exchange: sending a query, capturing the unit's one-line answer
// as it arrives, and the watchdog that ends a query the unit never answers.

#include <QTimer>
#include <vector>

#include "loader/form/MainUnit.h"
#include "loader/windows/Progress.h"

namespace kestrel {

void TKestrelForm::query_unit(const std::string& command, int minLineLength) {
  // A query that cannot go out leaves no answer behind, not the last one;
  // one a watchdog ended earlier no longer waits, so its capture cannot
  // take this query's echo.
  Link.Capture.Clear();
  Link.AwaitingResponse = false;
  if (!port_open() || run_stopping()) return;
  Link.WatchdogExpired = false;
  Link.MinLineLength = minLineLength;
  mark_unit_words();

  ApdComPort1->FlushInBuffer();
  CommandTimer->start();
  const int64_t watchdogDue = Waits().now_ms() + CommandTimer->interval();
  SendString(command);
  // What the unit sends back while the query goes out (its echo) is dropped.
  Waits().sleep_processing_events(kQueryEchoPauseMs);
  ApdComPort1->FlushInBuffer();
  SendString("\r");

  Link.AwaitingResponse = true;
  // The capture handler, the watchdog or the close query ends the wait; all
  // three arrive as window events. The watchdog is the timer's, or the
  // wait's own when the waits keep a clock of their own.
  if (!Waits().wait_for_events([this] { return !Link.AwaitingResponse || Link.WatchdogExpired; },
                               watchdogDue) &&
      !Link.WatchdogExpired)
    CommandTimerTimer();
  CommandTimer->stop();
}

void TKestrelForm::ApdComPort1TriggerAvail(TApdCustomComPort* CP, uint16_t Count) {
  if (!Link.AwaitingResponse) {
    // The bytes stay for other readers; whoever shows the unit only looks.
    if (Count > 0) {
      std::vector<char> bytes(Count);
      try {
        CP->PeekBlock(bytes.data(), Count);
        unit_said(bytes.data(), bytes.size());
      } catch (const std::exception&) {
        // Gone before we looked: nothing to show.
      }
    }
    return;
  }
  const auto read = [this, CP](char* into, uint16_t count) {
    CP->GetBlock(into, count);
    unit_said(into, count);
  };
  if (Link.Capture.Take(Count, read, Settings.NormalPrompt, Settings.LoaderPrompt,
                        Link.MinLineLength))
    Link.AwaitingResponse = false;
}

void TKestrelForm::unit_said(const char* bytes, size_t count) {
  Link.Words.Feed(bytes, count);
  if (FUploadWatch) FUploadWatch->Feed(bytes, count, Waits().now_ms());
  tell_observers([&](TRunObserver& o) { o.UnitBytes(bytes, count); });
}

void TKestrelForm::mark_unit_words() {
  Link.Words.SetPrompts(Settings.NormalPrompt, Settings.LoaderPrompt);
  Link.Words.Mark();
}

std::string TKestrelForm::captured_text() const {
  return Link.Capture.Text();
}

void TKestrelForm::CommandTimerTimer() {
  CommandTimer->stop();
  const std::string message = with_cause(
      "Timeout error! RS232 connection failure! Please check RS232 connection. Exiting script.",
      Link.Words.Cause());
  cancel_run(message);
  show_message(message);
  // The capture stays armed: a late answer still completes the line.
  Link.WatchdogExpired = true;
  Waits().process_pending_events();
}

void TKestrelForm::cancel_run(const std::string& why) {
  FCancel.Raised = true;
  if (!why.empty() && !FStopRequested) FCancel.Why = why;
}

void TKestrelForm::cancel_for(const std::string& message) {
  show_message(message);
  cancel_run(message);
}

}  // namespace kestrel
