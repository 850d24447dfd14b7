#include "Progress.h"

namespace kestrel {

TProgressForm::TProgressForm(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
  setObjectName(QStringLiteral("ProgressForm"));
  setWindowTitle(QStringLiteral("Quillmark Inc. :- File Upload Progress"));
  QFont font(QStringLiteral("Comic Sans MS"));
  font.setPixelSize(11);
  setFont(font);
  setFixedSize(430, 123);
  move(0, 0);
}

}  // namespace kestrel
