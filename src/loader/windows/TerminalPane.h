#pragma once
// What the main window needs from its terminal pane: the background colour,
// the font with its colour, and the widget itself for placing and focus.
// The pane is reached only through this interface so that the terminal
// component can take the placeholder's seat without touching the window.

#include <QColor>
#include <QFont>
#include <cstdint>
#include <functional>

class QWidget;

namespace kestrel {

// Colours are 0x00BBGGRR values, the form the settings and menus speak in.
constexpr uint32_t pane_rgb(uint32_t r, uint32_t g, uint32_t b) {
  return (r & 0xFF) | ((g & 0xFF) << 8) | ((b & 0xFF) << 16);
}
inline QColor qcolor_from_bgr(uint32_t c) {
  return QColor(int(c & 0xFF), int((c >> 8) & 0xFF), int((c >> 16) & 0xFF));
}
inline uint32_t bgr_from_qcolor(const QColor& c) {
  return pane_rgb(uint32_t(c.red()), uint32_t(c.green()), uint32_t(c.blue()));
}

inline constexpr uint32_t paneBlack = pane_rgb(0, 0, 0);
inline constexpr uint32_t paneSilver = pane_rgb(192, 192, 192);
inline constexpr uint32_t paneRed = pane_rgb(255, 0, 0);
inline constexpr uint32_t paneGreen = pane_rgb(0, 128, 0);
inline constexpr uint32_t paneBlue = pane_rgb(0, 0, 255);
inline constexpr uint32_t paneWhite = pane_rgb(255, 255, 255);

// A font as the pane carries it: face, size and style, plus the text colour.
struct TTerminalFont {
  QFont Font;
  uint32_t Color = paneSilver;

  bool operator==(const TTerminalFont& o) const { return Font == o.Font && Color == o.Color; }
};

// The pane's initial look: silver "Courier New" at 12 pixels on black.
TTerminalFont default_terminal_font();

class TTerminalPane {
 public:
  virtual ~TTerminalPane() = default;

  virtual QWidget* Widget() = 0;

  virtual uint32_t Color() const = 0;
  virtual void SetColor(uint32_t color) = 0;

  virtual TTerminalFont Font() const = 0;
  // Repaints in the new font and colour.
  virtual void SetFont(const TTerminalFont& font) = 0;

  // Called with each typed character before the pane handles it; setting
  // the character to 0 swallows the keystroke.
  using TKeyPressHandler = std::function<void(char& Key)>;
  virtual void SetOnKeyPress(TKeyPressHandler handler) = 0;
};

}  // namespace kestrel
