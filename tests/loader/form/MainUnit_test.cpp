// The main window on the offscreen platform: layout, menus, start-up, the
// settings that reach the window, the terminal menu and closing.

#include "loader/form/MainUnit.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <utility>

#include "LoaderTestApp.h"
#include "ProgramEnds.h"
#include "PtyPair.h"
#include "RecordingOperatorDialog.h"
#include "SettingsText.h"
#include "VirtualClock.h"
#include "loader/form/MainWidgets.h"

namespace kestrel {
namespace {

class MainWindow : public ::testing::Test {
 protected:
  void SetUp() override { test_application(); }

  // A window whose end of its work only records the status.
  std::unique_ptr<TKestrelForm> make_form() {
    auto form = std::make_unique<TKestrelForm>(Dialog);
    form->add_observer(Ends);
    return form;
  }
  template <typename T>
  static T* child(QWidget& form, const char* name) {
    return form.findChild<T*>(QString::fromLatin1(name));
  }
  static std::string text(QLabel* label) { return label->text().toStdString(); }
  static std::string status(TKestrelForm& form) {
    return form.InfoStatusBar->SimpleText().toStdString();
  }

  TRecordingOperatorDialog Dialog;
  TProgramEnds Ends;
};

// Where each control sits is the layout table itself; what is checked here
// is what an operator would notice: a fixed window, every control there and
// shown or hidden as it should be, labels that say the right thing and fit.
TEST_F(MainWindow, ControlsAreThereAndFitTheFixedWindow) {
  TScratchFolder folder;
  auto form = make_form();
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));

  ASSERT_GT(form->menuBar()->height(), 0);
  EXPECT_EQ(form->minimumSize(), form->maximumSize());
  EXPECT_TRUE(form->windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(form->windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(form->windowTitle(), QStringLiteral("Quillmark Inc. :- Kestrel"));

  struct Shown {
    const char* name;
    bool visible;
  } controls[] = {{"Label1", true},          {"PickButton", true},      {"UploadButton", false},
                  {"RS232GroupBox", true},   {"ApdStatusLight4", true}, {"ApdStatusLight3", true},
                  {"ApdStatusLight2", true}, {"ApdStatusLight1", true}, {"ComCheckBox", false},
                  {"AdTerminal1", true},     {"InfoStatusBar", true}};
  for (const Shown& c : controls) {
    QWidget* w = child<QWidget>(*form, c.name);
    ASSERT_NE(w, nullptr) << c.name;
    EXPECT_EQ(w->isVisible(), c.visible) << c.name;
    EXPECT_TRUE(w->parentWidget()->rect().contains(w->geometry())) << c.name;
  }
  struct Label {
    const char* name;
    const char* text;
  } labels[] = {
      {"TXDLabel", "TXD"},    {"RXDLabel", "RXD"},       {"DCDLabel", "DCD"},
      {"CTSLabel", "CTS"},    {"COMLabel", "COM:"},      {"ComNumberLabel", "None"},
      {"BaudLabel", "Baud:"}, {"ComBaudLabel", "38400"}, {"VersionLabel", "Version : 1.04"}};
  QTRY_COMPARE(form->VersionLabel->text(), QStringLiteral("Version : 1.04"));
  for (const Label& l : labels) {
    QLabel* w = child<QLabel>(*form, l.name);
    ASSERT_NE(w, nullptr) << l.name;
    EXPECT_EQ(text(w), l.text) << l.name;
    EXPECT_LE(w->geometry().right(), w->parentWidget()->width()) << l.name;
  }
  EXPECT_EQ(child<QWidget>(*form, "ComCheckBox")->parentWidget(), form->RS232GroupBox);
  // Captions and their values do not run together.
  for (auto [caption, value] :
       {std::pair{"COMLabel", "ComNumberLabel"}, {"BaudLabel", "ComBaudLabel"}})
    EXPECT_GE(child<QLabel>(*form, value)->x() - child<QLabel>(*form, caption)->geometry().right(),
              4)
        << value;
}

void walk_menu(const QList<QAction*>& actions, int depth, std::vector<std::string>& out) {
  for (QAction* a : actions) {
    std::string line = std::to_string(depth) + " " + a->objectName().toStdString() + " \"" +
                       (a->isSeparator() ? std::string("-") : a->text().toStdString()) + "\"";
    if (!a->isVisible()) line += " hidden";
    if (a->isChecked()) line += " checked";
    out.push_back(line);
    if (a->menu()) walk_menu(a->menu()->actions(), depth + 1, out);
  }
}

TEST_F(MainWindow, MenuTreeInDisplayOrder) {
  auto form = make_form();
  std::vector<std::string> tree;
  walk_menu(form->menuBar()->actions(), 0, tree);
  const std::vector<std::string> expected = {
      "0 ExitMenu \"Exit\"",
      "0 ConfigMenu \"RS232 Config\"",
      "1 COMPortMenu \"COM Port\"",
      "2 NoneMenu \"None\"",
      "2 COM1Menu \"COM1\"",
      "2 COM2Menu \"COM2\"",
      "2 N1 \"-\"",
      "2 SearchAllMenu \"Search\"",
      "2 ChoosePortMenu \"Choose port...\"",
      "1 Baud1 \"Baud\"",
      "2 N12001 \"1200\"",
      "2 N24001 \"2400\"",
      "2 N96001 \"9600\"",
      "2 N192001 \"19200\"",
      "2 N384001 \"38400\"",
      "2 N576001 \"57600\"",
      "0 Terminal1 \"Terminal\"",
      "1 VisibleMenu \"Visible\" checked",
      "1 BackgroundColor1 \"Background Color\"",
      "2 BackBlackMenu \"Black\"",
      "2 BackRedMenu \"Red\"",
      "2 BackGreenMenu \"Green\"",
      "2 BackBlueMenu \"Blue\"",
      "2 BackWhiteMenu \"White\"",
      "2 N2 \"-\"",
      "2 BackDefaultMenu \"Default\"",
      "1 ForegroundColor1 \"Text Color\" hidden",
      "2 TextBlackMenu \"Black\"",
      "2 TextRedMenu \"Red\"",
      "2 TextGreenMenu \"Green\"",
      "2 TextBlueMenu \"Blue\"",
      "2 TextWhiteMenu \"White\"",
      "2 N3 \"-\"",
      "2 TextDefaultMenu \"Default\"",
      "1 TerminalFonts1 \"Terminal Fonts...\"",
  };
  EXPECT_EQ(tree, expected);
  for (QAction* baud : form->Baud1->actions()) EXPECT_FALSE(baud->isCheckable());
}

TEST_F(MainWindow, StartUpWithoutUnitOrConfiguredPort) {
  TScratchFolder folder;
  auto form = make_form();
  QStringList shown;
  QObject::connect(form->InfoStatusBar, &TInfoStatusBar::SimpleTextChanged,
                   [&](const QString& text) { shown << text; });
  form->FormShow();
  // Told once that there is no settings file, and where it was looked for;
  // in the window it stands over the probe's outcome for a while.
  const QString note = QStringLiteral("No LoaderDefault.ini in ") +
                       QDir(folder.Path()).canonicalPath() +
                       QStringLiteral(": the defaults are used");
  EXPECT_EQ(shown.count(note), 1) << shown.join(QLatin1Char('\n')).toStdString();
  EXPECT_EQ(form->InfoStatusBar->currentMessage(), note);
  EXPECT_EQ(status(*form),
            "Unable to open Hardware through COM ports. Select new COM port before proceeding");
  EXPECT_FALSE(form->PickButton->isEnabled());
  EXPECT_FALSE(form->UploadButton->isEnabled());
  EXPECT_TRUE(form->ComCheckBox->isEnabled());
  EXPECT_TRUE(Dialog.Messages.empty());
  EXPECT_TRUE(Ends.Statuses.empty());
}

TEST_F(MainWindow, StartUpWithConfiguredPortThatIsNotFound) {
  const std::string settings = test::SettingsText({{1, "COM3"}});
  TScratchFolder folder(&settings);
  auto form = make_form();
  QStringList shown;
  QObject::connect(form->InfoStatusBar, &TInfoStatusBar::SimpleTextChanged,
                   [&](const QString& text) { shown << text; });
  form->FormShow();
  EXPECT_TRUE(shown.filter(QStringLiteral("the defaults are used")).isEmpty());
  EXPECT_EQ(status(*form),
            "Error opening Hardware via COM ports. Select new COM port/check RS232 connection "
            "before proceeding");
  EXPECT_TRUE(form->PickButton->isEnabled());
  EXPECT_EQ(form->ApdComPort1->ComNumber(), 3);
  EXPECT_EQ(text(form->ComNumberLabel), "None");
  EXPECT_TRUE(Dialog.Messages.empty());
}

// A pseudo-terminal with nobody behind it stands in for a silent line on
// port `com`; what the program sends can be read from its far end.
class TSilentLine {
 public:
  explicit TSilentLine(int com) : FVariable("KESTREL_COM" + std::to_string(com)) {
    if (FPty.ok()) ::setenv(FVariable.c_str(), FPty.slavePath().c_str(), 1);
  }
  ~TSilentLine() { ::unsetenv(FVariable.c_str()); }
  // Up to `count` bytes, waiting generously for the output thread.
  std::string Read(size_t count) {
    const auto got = FPty.ReadSome(count, std::chrono::seconds(10));
    return std::string(got.begin(), got.end());
  }

 private:
  std::string FVariable;
  kestrel::test::PtyPair FPty;
};

TEST_F(MainWindow, ConfiguredPortIsOpenedWhenNoUnitAnswers) {
  TSilentLine line(4);
  const std::string settings = test::SettingsText({{1, "Port=COM4"}});
  TScratchFolder folder(&settings);
  auto form = make_form();
  // The line stays silent: every prompt wait of the probe runs out.
  const auto clock = use_virtual_clock(*form);
  form->FormShow();
  EXPECT_TRUE(form->ApdComPort1->Open());
  EXPECT_EQ(text(form->ComNumberLabel), "4");
  EXPECT_TRUE(form->PickButton->isEnabled());
  EXPECT_TRUE(Dialog.Messages.empty());
}

TEST_F(MainWindow, BackspaceErasesOnTheUnitOnlyWhileThePortIsOpen) {
  TSilentLine line(4);
  auto form = make_form();
  char key = '\b';
  form->AdTerminal1KeyPress(key);
  EXPECT_EQ(key, '\b');  // closed port: the pane decides

  form->ApdComPort1->SetComNumber(4);
  form->ApdComPort1->SetOpen(true);
  ASSERT_TRUE(form->ApdComPort1->Open());
  key = 'a';
  form->AdTerminal1KeyPress(key);
  EXPECT_EQ(key, 'a');
  key = '\b';
  form->AdTerminal1KeyPress(key);
  EXPECT_EQ(key, '\0');
  EXPECT_EQ(line.Read(3), "\b \b");
  // The same through a keystroke on the pane.
  QTest::keyClick(form->AdTerminal1->Widget(), Qt::Key_Backspace);
  EXPECT_EQ(line.Read(3), "\b \b");
}

TEST_F(MainWindow, AutomaticModeWithoutUnitReportsAndEndsWithStatusZero) {
  const std::string settings = test::SettingsText({{6, "run.sld"}, {8, "automatic"}});
  TScratchFolder folder(&settings);
  auto form = make_form();
  form->show();
  QElapsedTimer waited;
  waited.start();
  while (Ends.Statuses.empty() && waited.elapsed() < 60000) QTest::qWait(5);
  EXPECT_EQ(Ends.Statuses, std::vector<int>{0});
  EXPECT_EQ(Dialog.Messages,
            std::vector<std::string>{"Error!! COM port communication failed. Please check RS232 "
                                     "connection/INI settings. Exiting application"});
  EXPECT_FALSE(form->isVisible());
  EXPECT_FALSE(form->ComCheckBox->isEnabled());
}

TEST_F(MainWindow, SettingsReachPortLabelAndPane) {
  const std::string settings = test::SettingsText(
      {{2, "115200"}, {3, "7"}, {4, "2"}, {5, "2"}, {20, "0"}, {21, "2"}, {22, "5"}});
  TScratchFolder folder(&settings);
  auto form = make_form();
  form->read_settings();
  EXPECT_EQ(form->ApdComPort1->Baud(), 115200);
  EXPECT_EQ(text(form->ComBaudLabel), "115200");
  EXPECT_EQ(form->ApdComPort1->DataBits(), 7);
  EXPECT_EQ(form->ApdComPort1->Parity(), pEven);
  EXPECT_EQ(form->ApdComPort1->StopBits(), 2);
  EXPECT_FALSE(form->VisibleMenu->isChecked());
  EXPECT_EQ(form->centralWidget()->height(), 139);
  EXPECT_EQ(form->AdTerminal1->Color(), paneRed);
  EXPECT_EQ(form->AdTerminal1->Font().Color, paneWhite);
  EXPECT_TRUE(Dialog.Messages.empty());
}

TEST_F(MainWindow, InvalidBaudAndAShownPaneChangeNothing) {
  const std::string settings = test::SettingsText({{2, "14400"}, {20, "1"}});
  TScratchFolder folder(&settings);
  auto form = make_form();
  form->read_settings();
  EXPECT_EQ(Dialog.Messages,
            std::vector<std::string>{"Error! Baud Rate set in INI file is invalid!"});
  EXPECT_EQ(text(form->ComBaudLabel), "38400");
  EXPECT_EQ(form->ApdComPort1->Baud(), 38400);
  EXPECT_EQ(form->centralWidget()->height(), 416);
}

TEST_F(MainWindow, TerminalMenuHeightsColoursAndFont) {
  auto form = make_form();
  const int menu = form->menuBar()->sizeHint().height();
  form->VisibleMenu->trigger();
  EXPECT_FALSE(form->VisibleMenu->isChecked());
  EXPECT_EQ(form->centralWidget()->size(), QSize(527, 139));
  EXPECT_EQ(form->InfoStatusBar->geometry(), QRect(0, 120, 527, 19));
  form->VisibleMenu->trigger();
  EXPECT_TRUE(form->VisibleMenu->isChecked());
  EXPECT_EQ(form->centralWidget()->size(), QSize(527, 420));
  EXPECT_EQ(form->size(), QSize(527, menu + 420));

  child<QAction>(*form, "BackBlueMenu")->trigger();
  EXPECT_EQ(form->AdTerminal1->Color(), paneBlue);
  child<QAction>(*form, "BackDefaultMenu")->trigger();
  EXPECT_EQ(form->AdTerminal1->Color(), paneBlack);
  child<QAction>(*form, "TextGreenMenu")->trigger();
  EXPECT_EQ(form->AdTerminal1->Font().Color, paneGreen);
  child<QAction>(*form, "TextDefaultMenu")->trigger();
  EXPECT_EQ(form->AdTerminal1->Font().Color, paneSilver);

  const TTerminalFont before = form->AdTerminal1->Font();
  form->TerminalFonts1->trigger();  // cancelled
  ASSERT_EQ(Dialog.FontRequests.size(), 1u);
  EXPECT_TRUE(Dialog.FontRequests[0] == before);
  EXPECT_TRUE(form->AdTerminal1->Font() == before);
  TTerminalFont chosen = before;
  chosen.Font.setPixelSize(20);
  chosen.Color = paneRed;
  Dialog.FontAnswer = chosen;
  form->TerminalFonts1->trigger();
  EXPECT_TRUE(form->AdTerminal1->Font() == chosen);
}

TEST_F(MainWindow, CloseWhileIdleDoesNotAskAndBreaksAWait) {
  TScratchFolder folder;
  TSilentLine line(4);
  auto form = make_form();
  const auto clock = use_virtual_clock(*form);
  form->show();
  // A query the unit let run past its watchdog leaves the capture waiting.
  form->ApdComPort1->SetComNumber(4);
  form->ApdComPort1->SetOpen(true);
  form->query_unit("VER");
  ASSERT_TRUE(form->Link.AwaitingResponse);
  EXPECT_TRUE(form->close());
  EXPECT_FALSE(form->Link.AwaitingResponse);
  EXPECT_TRUE(Dialog.Confirmations.empty());
  EXPECT_TRUE(Ends.Statuses.empty());
}

TEST_F(MainWindow, CloseDuringUploadAsks) {
  TScratchFolder folder;
  TSilentLine line(4);
  const std::string question =
      "File upload in progress.\rAre you sure you want to cancel upload and exit the application?";
  auto form = make_form();
  const auto clock = use_virtual_clock(*form);
  form->show();
  form->ApdComPort1->SetComNumber(4);
  form->ApdComPort1->SetOpen(true);
  const QString dir = QDir::currentPath();
  std::ofstream((dir + "/a.bin").toStdString(), std::ios::binary) << std::string(5000, 'a');
  std::ofstream((dir + "/name.sld").toStdString()) << "_LF a.bin\n";
  form->begin_run((dir + "/name.sld").toStdString());
  ASSERT_TRUE(form->read_ini());

  // The operator closes the window once the upload is under way.
  struct TCloseOnUpload : TRunObserver {
    std::function<void()> Close;
    void UploadBegins(const std::string&, uint64_t) override { Close(); }
  } closing;
  bool closed = false;
  closing.Close = [&] {
    closed = true;
    Dialog.ConfirmAnswer = false;
    EXPECT_FALSE(form->close());
    EXPECT_TRUE(form->isVisible());
    EXPECT_TRUE(Ends.Statuses.empty());

    // Yes stops the upload at its next block and lets the port go; the
    // process ends once the upload loop has seen it.
    Dialog.ConfirmAnswer = true;
    form->ExitMenu->trigger();
    EXPECT_EQ(Dialog.Confirmations, (std::vector<std::string>{question, question}));
    EXPECT_EQ(Dialog.ConfirmOwners[0], form.get());
    EXPECT_FALSE(form->isVisible());
    EXPECT_TRUE(form->run_stopping());
    EXPECT_TRUE(Ends.Statuses.empty());
  };
  form->add_observer(closing);
  form->UploadButtonClick();
  EXPECT_TRUE(closed);
}

class TThrowingObject : public QObject {
 public:
  bool event(QEvent* e) override {
    if (e->type() == QEvent::User) throw std::runtime_error("Port vanished");
    return QObject::event(e);
  }
};

TEST_F(MainWindow, EscapedExceptionIsShownAndTheProgramCarriesOn) {
  test_application().SetOperatorDialog(&Dialog);
  TThrowingObject thrower;
  QEvent first(QEvent::User), second(QEvent::User);
  QCoreApplication::sendEvent(&thrower, &first);
  QCoreApplication::sendEvent(&thrower, &second);
  test_application().SetOperatorDialog(nullptr);
  EXPECT_EQ(Dialog.Messages, (std::vector<std::string>{"Port vanished", "Port vanished"}));
}

}  // namespace
}  // namespace kestrel
