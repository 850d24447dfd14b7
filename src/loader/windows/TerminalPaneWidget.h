#pragma once
// The main window's terminal pane: the terminal control bound to the window's
// port, seen by the window through TTerminalPane.

#include "loader/windows/TerminalPane.h"
#include "terminal/qt/AdTerminal.h"

namespace kestrel {

class TAdTerminalPane : public TAdTerminal, public TTerminalPane {
  Q_OBJECT
 public:
  // Sets the layout's values: 16 rows, 250 ms blink, immediate display, the
  // pane's initial font and colours, bound to `port`.
  TAdTerminalPane(TApdCustomComPort* port, QWidget* parent);

  QWidget* Widget() override { return this; }
  uint32_t Color() const override { return TAdTerminal::Color(); }
  void SetColor(uint32_t color) override { TAdTerminal::SetColor(color); }
  TTerminalFont Font() const override;
  void SetFont(const TTerminalFont& font) override;
  void SetOnKeyPress(TKeyPressHandler handler) override { OnKeyPress = std::move(handler); }
};

}  // namespace kestrel
