#pragma once
// Small controls of the main window: the one-panel status bar and the lamps
// that hold the status lights' places.

#include <QFrame>
#include <QLabel>
#include <QStatusBar>

namespace kestrel {

// A status bar showing one simple text across its whole width.
class TInfoStatusBar : public QStatusBar {
  Q_OBJECT
 public:
  explicit TInfoStatusBar(QWidget* parent = nullptr);
  QString SimpleText() const { return FText->text(); }
  void SetSimpleText(const QString& text);

 signals:
  // Every text set, as it is set (also one equal to the text shown).
  void SimpleTextChanged(const QString& text);

 private:
  QLabel* FText;
};

// An unlit 10 x 10 lamp; the status-light controller lights the real ones.
class TLampPlaceholder : public QFrame {
  Q_OBJECT
 public:
  explicit TLampPlaceholder(QWidget* parent = nullptr);
};

}  // namespace kestrel
