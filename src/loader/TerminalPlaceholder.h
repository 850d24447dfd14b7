#pragma once
// Holds the terminal pane's place on the main window until the terminal
// component sits there: it keeps and shows the pane's background colour,
// text colour and font, and takes the keyboard focus.

#include <QWidget>

#include "TerminalPane.h"

namespace kestrel {

class TTerminalPlaceholder : public QWidget, public TTerminalPane {
  Q_OBJECT
 public:
  explicit TTerminalPlaceholder(QWidget* parent = nullptr);

  QWidget* Widget() override { return this; }
  uint32_t Color() const override { return FColor; }
  void SetColor(uint32_t color) override;
  TTerminalFont Font() const override { return FFont; }
  void SetFont(const TTerminalFont& font) override;
  void SetOnKeyPress(TKeyPressHandler handler) override { FOnKeyPress = std::move(handler); }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  uint32_t FColor = paneBlack;
  TTerminalFont FFont = default_terminal_font();
  TKeyPressHandler FOnKeyPress;
};

}  // namespace kestrel
