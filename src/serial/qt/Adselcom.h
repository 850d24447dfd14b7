#pragma once
// The port-selection dialog the port component shows when it has no port
// number.

#include <QDialog>
#include <QString>
#include <string>

#include "serial/qt/AdPortTrial.h"
#include "serialdevice/AwPortDiscovery.h"

class QComboBox;
class QFrame;
class QLabel;
class QPushButton;

namespace kestrel {

// Highest port number the dialog offers.
inline constexpr int MaxComSelectPort = 50;

// Modal dialog listing the available ports COM1..COM50; or, to choose the
// device one port is to reach, the serial devices the system has.
// Thread contract: window thread only.
class TComSelectForm : public QDialog {
  Q_OBJECT

 public:
  // Dialog results.
  static constexpr int mrOk = 1;
  static constexpr int mrAbort = 3;

  // Port numbers lead where `ports` says; the devices are looked for under
  // `roots` (the system's by default).
  explicit TComSelectForm(const TPortMap& ports, QWidget* owner = nullptr,
                          const TPortRoots& roots = {});
  // Lists every serial device (its by-id name and what it is) for port
  // `comNumber`, and what KESTREL_COM<n> maps ports to besides (the
  // simulated unit, a pseudo-terminal); the console, and a mapping with
  // nothing behind it, are shown but cannot be chosen. With nothing to
  // choose the dialog says so and OK is off.
  TComSelectForm(const TPortMap& ports, int comNumber, QWidget* owner,
                 const TPortRoots& roots = {});

  // The selected entry's port name ("COM7"), empty when the list is empty.
  QString SelectedCom() const;
  // The selected port number, 0 when nothing is selected.
  int SelectedComNum() const;
  // The device chosen in the device list: its /dev/serial/by-id name where
  // it has one, else its path; empty when nothing is selected.
  std::string SelectedDevice() const;

  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QFrame* Bevel1 = nullptr;
  QComboBox* PortsComboBox = nullptr;
  QPushButton* OkBtn = nullptr;
  QPushButton* AbortBtn = nullptr;

 private:
  void BuildForm(const QString& line1, const QString& line2);
  void Center();
  // Makes room for explanation lines and entries wider than the layout
  // allowed.
  void WidenForTexts(int entryWidth);
  // Fills the list with every available port and selects the first.
  void FormCreate();
  // Fills the list with the serial devices and selects the first one that
  // may be chosen.
  void ListDevices();

  const TPortMap& Ports_;
  const TPortRoots Roots_;
};

}  // namespace kestrel
