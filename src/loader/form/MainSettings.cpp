// Reading the settings file into the window, the port and the pane.

#include <QAction>
#include <QFileInfo>
#include <QLabel>

#include "loader/form/MainUnit.h"
#include "loader/form/MainWidgets.h"

namespace kestrel {

class TKestrelForm::TSettingsApplier : public TSettingsTarget {
 public:
  explicit TSettingsApplier(TKestrelForm& form) : Form(form) {}

  void ShowMessage(const std::string& text) override { Form.show_message(text); }
  void SetBaud(long baud) override { Form.set_port_baud(baud); }
  void SetDataBits(int bits) override { Form.ApdComPort1->SetDataBits(uint16_t(bits)); }
  void SetParity(int parity) override { Form.ApdComPort1->SetParity(TParity(parity)); }
  void SetStopBits(int bits) override { Form.ApdComPort1->SetStopBits(uint16_t(bits)); }
  void SetTerminalVisible(bool visible) override {
    if (Form.VisibleMenu->isChecked() != visible) Form.VisibleMenuClick();
  }
  void SetTerminalBackground(int choice) override { Form.choose_background(choice); }
  void SetTerminalTextColor(int choice) override { Form.choose_text_color(choice); }

 private:
  TKestrelForm& Form;
};

void TKestrelForm::SetStartUp(const TStartUp& startUp) {
  FStartUp = startUp;
  Settings.CommandLineBaud = startUp.CommandLineBaud;
}

void TKestrelForm::read_settings() {
  TSettingsApplier applier(*this);
  if (!read_settings_file(FStartUp.SettingsFile.c_str(), Settings, applier)) {
    // Running on the defaults is no error, but the operator should know.
    const QFileInfo file(QString::fromLocal8Bit(FStartUp.SettingsFile.c_str()));
    const QString text = file.exists()
                             ? QStringLiteral("Cannot read %1 in %2: the defaults are used")
                             : QStringLiteral("No %1 in %2: the defaults are used");
    FSettingsNote = text.arg(file.fileName(), file.absolutePath());
    report_status(FSettingsNote.toStdString(), TStatusSource::Window);
  }
  if (Settings.CommandLineBaud != 0) set_port_baud(Settings.CommandLineBaud);
}

}  // namespace kestrel
