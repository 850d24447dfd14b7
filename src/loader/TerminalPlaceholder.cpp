#include "TerminalPlaceholder.h"

#include <QFontMetrics>
#include <QKeyEvent>
#include <QPainter>

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

TTerminalPlaceholder::TTerminalPlaceholder(QWidget* parent) : QWidget(parent) {
  setFocusPolicy(Qt::StrongFocus);
  setAttribute(Qt::WA_OpaquePaintEvent);
  QWidget::setFont(FFont.Font);
}

void TTerminalPlaceholder::SetColor(uint32_t color) {
  if (color == FColor) return;
  FColor = color;
  update();
}

void TTerminalPlaceholder::SetFont(const TTerminalFont& font) {
  FFont = font;
  QWidget::setFont(FFont.Font);
  update();
}

void TTerminalPlaceholder::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), qcolor_from_bgr(FColor));
  // An empty screen with its block caret at the home position, one cell of
  // the current font in the text colour.
  QFontMetrics metrics(FFont.Font);
  QRect cell(2, 2, metrics.horizontalAdvance(QLatin1Char('W')), metrics.height());
  painter.fillRect(cell, qcolor_from_bgr(FFont.Color));
  painter.setPen(QColor(Qt::gray));
  painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

void TTerminalPlaceholder::keyPressEvent(QKeyEvent* event) {
  // Typed characters go to the owner's handler first; a placeholder has no
  // port of its own to send what is left.
  const QByteArray text = event->text().toLatin1();
  if (text.size() != 1 || !FOnKeyPress) {
    QWidget::keyPressEvent(event);
    return;
  }
  char key = text[0];
  FOnKeyPress(key);
  event->accept();
}

}  // namespace kestrel
