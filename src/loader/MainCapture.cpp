// The query exchange: sending a query, capturing the unit's one-line answer
// as it arrives, and the watchdog that ends a query the unit never answers.

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <cstring>

#include "MainUnit.h"
#include "Progress.h"
#include "WindowWaits.h"

namespace kestrel {

void TKestrelForm::query_unit() {
  if (!port_open()) return;
  WatchdogExpired = false;
  CaptureLine.fill(0);
  CaptureFill = 0;

  ApdComPort1->FlushInBuffer();
  CommandTimer->start();
  SendString(CommandBuffer);
  // What the unit sends back while the query goes out (its echo) is dropped.
  sleep_processing_events(kQueryEchoPauseMs);
  ApdComPort1->FlushInBuffer();
  SendString("\r");

  AwaitingResponse = true;
  // The capture handler, the watchdog or the close query ends the wait; all
  // three arrive as window events.
  while (AwaitingResponse && !WatchdogExpired)
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  CommandTimer->stop();
}

void TKestrelForm::ApdComPort1TriggerAvail(TApdCustomComPort* CP, uint16_t Count) {
  if (!AwaitingResponse) return;  // the bytes stay for other readers
  // A delivery is taken in pieces that fit the line, so that one larger than
  // the line restarts it as often as it needs to and never runs past it. The
  // last byte of the line is never written: it keeps the line ended.
  int left = Count;
  while (left > 0) {
    const int piece = std::min(left, kCaptureLineSize - 1);
    if (CaptureFill + piece >= kCaptureLineSize) {
      // What was gathered is given up.
      CaptureFill = 0;
      CaptureLine.fill(0);
    }
    char* const at = CaptureLine.data() + CaptureFill;
    try {
      CP->GetBlock(at, uint16_t(piece));
    } catch (const std::exception&) {
      return;  // the port went away meanwhile
    }
    left -= piece;
    for (int i = 0; i < piece; ++i) {
      const char c = at[i];
      if ((c == Settings.NormalPrompt || c == Settings.LoaderPrompt) &&
          CaptureFill >= MinLineLength) {
        // The line ends before its prompt; the rest of the delivery is dropped.
        std::memset(at + i, 0, size_t(piece - i));
        CaptureFill = 0;
        AwaitingResponse = false;
        try {
          std::string rest(size_t(left), '\0');
          if (left > 0) CP->GetBlock(rest.data(), uint16_t(left));
        } catch (const std::exception&) {
        }
        return;
      }
      ++CaptureFill;
    }
  }
}

std::string TKestrelForm::captured_text() const {
  return std::string(CaptureLine.data(), strnlen(CaptureLine.data(), CaptureLine.size()));
}

void TKestrelForm::CommandTimerTimer() {
  CommandTimer->stop();
  set_cancel_flag();
  MessageText =
      "Timeout error! RS232 connection failure! Please check RS232 connection. Exiting script.";
  show_message(MessageText);
  // The capture stays armed: a late answer still completes the line.
  WatchdogExpired = true;
  process_pending_events();
}

void TKestrelForm::set_cancel_flag() {
  if (FProgressForm) FProgressForm->CancelFlag = 1;
}

}  // namespace kestrel
