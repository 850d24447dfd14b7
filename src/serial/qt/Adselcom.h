#pragma once
// Which serial ports can be used: the trial open of IsPortAvailable and the
// port-selection dialog the port component shows when it has no port number.

#include <QDialog>
#include <QString>

class QComboBox;
class QFrame;
class QLabel;
class QPushButton;

namespace kestrel {

// The trial open goes through a fresh device object of the port layer.
inline constexpr bool UseDispatcherForAvail = true;
// A port that another program holds counts as available.
inline constexpr bool ShowPortsInUse = true;

// Highest port number the dialog offers.
inline constexpr int MaxComSelectPort = 50;

// True when port n exists and can be opened (or is held by another
// program). Port 0 never is. Opens and closes the device once.
// Thread contract: any thread.
bool IsPortAvailable(int n);

// Modal dialog listing the available ports COM1..COM50.
// Thread contract: window thread only.
class TComSelectForm : public QDialog {
  Q_OBJECT

 public:
  // Dialog results.
  static constexpr int mrOk = 1;
  static constexpr int mrAbort = 3;

  explicit TComSelectForm(QWidget* owner = nullptr);

  // The selected entry's port name ("COM7"), empty when the list is empty.
  QString SelectedCom() const;
  // The selected port number, 0 when nothing is selected.
  int SelectedComNum() const;

  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QFrame* Bevel1 = nullptr;
  QComboBox* PortsComboBox = nullptr;
  QPushButton* OkBtn = nullptr;
  QPushButton* AbortBtn = nullptr;

 private:
  // Makes room for explanation lines wider than the layout allowed.
  void WidenForTexts();
  // Fills the list with every available port and selects the first.
  void FormCreate();
};

}  // namespace kestrel
