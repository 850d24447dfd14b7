#pragma once
// The splash window: borderless and on top, created after the main and
// progress windows and hidden by the main window once probing is over.

#include <QWidget>

namespace kestrel {

class TKestrelForm;
class TProgressForm;

class TSplashForm : public QWidget {
  Q_OBJECT
 public:
  TSplashForm(TKestrelForm& main, TProgressForm& progress, QWidget* parent = nullptr);
};

}  // namespace kestrel
