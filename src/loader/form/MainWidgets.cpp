#include "loader/form/MainWidgets.h"

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

}  // namespace kestrel
