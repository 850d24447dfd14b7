#pragma once
// Small controls of the main window: the one-panel status bar.

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

}  // namespace kestrel
