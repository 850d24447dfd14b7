#include "MainWidgets.h"

namespace kestrel {

TInfoStatusBar::TInfoStatusBar(QWidget* parent) : QStatusBar(parent), FText(new QLabel(this)) {
  setSizeGripEnabled(false);
  // Opaque: with the terminal pane hidden the bar lies over the pane.
  setAutoFillBackground(true);
  FText->setObjectName(QStringLiteral("InfoStatusText"));
  FText->setTextFormat(Qt::PlainText);
  addWidget(FText, 1);
}

void TInfoStatusBar::SetSimpleText(const QString& text) {
  FText->setText(text);
  // Status changes arrive in the middle of long operations; paint at once.
  FText->repaint();
  emit SimpleTextChanged(text);
}

TLampPlaceholder::TLampPlaceholder(QWidget* parent) : QFrame(parent) {
  setFrameShape(QFrame::Box);
  setAutoFillBackground(true);
  QPalette p = palette();
  p.setColor(QPalette::Window, QColor(0, 64, 0));
  setPalette(p);
  resize(10, 10);
}

}  // namespace kestrel
