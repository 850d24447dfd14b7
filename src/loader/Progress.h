#pragma once
// The upload progress window. It is created hidden at start-up and lives
// until the program ends; it owns the cancel flag that stops an upload and
// the script run around it.

#include <QWidget>

namespace kestrel {

class TProgressForm : public QWidget {
  Q_OBJECT
 public:
  explicit TProgressForm(QWidget* parent = nullptr);

  // 0: run, 1: stop.
  int CancelFlag = 0;
};

}  // namespace kestrel
