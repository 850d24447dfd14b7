#include "loader/windows/TerminalPaneWidget.h"

namespace kestrel {

TTerminalFont default_terminal_font() {
  TTerminalFont font;
  font.Font.setFamilies({QStringLiteral("Courier New"), QStringLiteral("Liberation Mono"),
                         QStringLiteral("Nimbus Mono PS"), QStringLiteral("DejaVu Sans Mono")});
  font.Font.setPixelSize(12);
  font.Font.setStyleHint(QFont::TypeWriter);
  font.Color = paneSilver;
  return font;
}

TAdTerminalPane::TAdTerminalPane(TApdCustomComPort* port, QWidget* parent) : TAdTerminal(parent) {
  SetRows(16);
  SetBlinkTime(250);
  SetLazyByteDelay(4);
  SetLazyTimeDelay(50);
  SetUseLazyDisplay(false);
  SetWantAllKeys(false);
  SetScrollback(false);
  SetCaptureFile("KELPTERM.CAP");
  SetColor(paneBlack);
  SetFont(default_terminal_font());
  SetComPort(port);
}

TTerminalFont TAdTerminalPane::Font() const {
  return TTerminalFont{font(), FontColor()};
}

void TAdTerminalPane::SetFont(const TTerminalFont& font) {
  setFont(font.Font);
  SetFontColor(font.Color);
}

}  // namespace kestrel
