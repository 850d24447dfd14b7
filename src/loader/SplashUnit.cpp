#include "SplashUnit.h"

namespace kestrel {

TSplashForm::TSplashForm(TKestrelForm& main, TProgressForm& progress, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
  setObjectName(QStringLiteral("SplashForm"));
  resize(795, 687);
  // The brand setting picks the captions and the picture here; without a
  // picture the splash stays hidden and the layouts keep their captions.
  (void)main;
  (void)progress;
}

}  // namespace kestrel
