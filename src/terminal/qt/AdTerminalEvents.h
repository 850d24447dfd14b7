#pragma once
// The terminal window's own notifications, posted to itself so that they run
// on the window thread in the order they were posted.

#include <QEvent>
#include <cstdint>

namespace kestrel {

class TAdTerminalMessage : public QEvent {
 public:
  TAdTerminalMessage(uint32_t msg, uint32_t wParam, uint32_t lParam)
      : QEvent(EventType()), Msg(msg), wParam(wParam), lParam(lParam) {}
  static QEvent::Type EventType() {
    static const auto type = QEvent::Type(QEvent::registerEventType());
    return type;
  }

  const uint32_t Msg;
  const uint32_t wParam;
  const uint32_t lParam;
};

}  // namespace kestrel
