// The main window's terminal pane against a pseudo-terminal standing in for
// the unit: bound to the port, data arriving while the pane is hidden,
// the window's Backspace as the only bytes a Backspace sends, and the
// cursor's row in view whatever the font.

#include "loader/windows/TerminalPaneWidget.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QTest>
#include <chrono>

#include "LoaderTestApp.h"
#include "PtyPair.h"
#include "RecordingOperatorDialog.h"
#include "loader/form/MainUnit.h"
#include "terminal/qt/AdTerminal.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;

class TerminalPane : public ::testing::Test {
 protected:
  void SetUp() override {
    test_application();
    ASSERT_TRUE(Line.ok());
    ::setenv("KESTREL_COM4", Line.slavePath().c_str(), 1);
    Form = std::make_unique<TKestrelForm>(Dialog);
    Pane = dynamic_cast<TAdCustomTerminal*>(Form->AdTerminal1->Widget());
    ASSERT_NE(Pane, nullptr);
  }
  void TearDown() override {
    Form.reset();
    ::unsetenv("KESTREL_COM4");
  }
  void OpenPort() {
    Form->ApdComPort1->SetComNumber(4);
    Form->ApdComPort1->SetOpen(true);
    ASSERT_TRUE(Form->ApdComPort1->Open());
    ASSERT_TRUE(QTest::qWaitFor([&] { return Pane->TriggerHandlerRegistered(); }, 10000));
  }
  std::string Trimmed(int row) {
    std::string s = Pane->tmGetLine(row);
    s.erase(s.find_last_not_of(' ') + 1);
    return s;
  }

  test::PtyPair Line;
  TRecordingOperatorDialog Dialog;
  std::unique_ptr<TKestrelForm> Form;
  TAdCustomTerminal* Pane = nullptr;
};

TEST_F(TerminalPane, IsBoundToThePortAndWaitsForItToOpen) {
  EXPECT_EQ(Pane->ComPort(), Form->ApdComPort1);
  EXPECT_TRUE(Pane->AttachPending());  // the port is closed at start
}

TEST_F(TerminalPane, DataArrivingWhileHiddenIsThereWhenShownAgain) {
  Form->show();
  OpenPort();
  Form->VisibleMenuClick();  // hidden
  ASSERT_TRUE(Line.WriteAll("while hidden\r\n#"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return Trimmed(2) == "#"; }, 10000));
  EXPECT_EQ(Trimmed(1), "while hidden");
  Form->VisibleMenuClick();
  EXPECT_TRUE(Pane->isVisible());
  EXPECT_EQ(Trimmed(1), "while hidden");
}

TEST_F(TerminalPane, BackspaceSendsTheWindowsThreeBytesAndNothingElse) {
  Form->show();
  OpenPort();
  Pane->setFocus();
  QTest::keyClick(Pane, Qt::Key_Backspace);
  QTest::keyClicks(Pane, "x");
  const auto got = Line.ReadSome(4, 10s);
  EXPECT_EQ(std::string(got.begin(), got.end()), "\b \bx");
  EXPECT_TRUE(Line.ReadSome(1, 200ms).empty());  // no DEL from the pane
}

TEST_F(TerminalPane, ALargerFontScrollsThePaneWithTheCursorsRow) {
  Form->show();
  OpenPort();
  // Rows fully in view, and whether the cursor's row is one of them.
  auto cursorShown = [&] {
    const int full = Pane->viewport()->height() / Pane->CellHeight();
    const int row = Pane->Buffer()->Row();
    return row >= Pane->OriginRow() && row < Pane->OriginRow() + full;
  };
  std::string lines;
  for (int i = 1; i <= 20; ++i) lines += "line " + std::to_string(i) + "\r\n";
  ASSERT_TRUE(Line.WriteAll(lines + "#"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return Trimmed(16) == "#"; }, 10000));

  TTerminalFont larger = default_terminal_font();
  larger.Font.setPointSize(14);
  Dialog.FontAnswer = larger;
  Form->TerminalFonts1Click();
  ASSERT_LT(Pane->viewport()->height() / Pane->CellHeight(), 16);  // the rows no longer fit
  EXPECT_TRUE(cursorShown()) << "origin " << Pane->OriginRow();

  // New lines keep the prompt in view, as the operator types at it.
  ASSERT_TRUE(Line.WriteAll("\r\nnext\r\n#"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return Trimmed(15) == "next"; }, 10000));
  QCoreApplication::processEvents();
  EXPECT_TRUE(cursorShown()) << "origin " << Pane->OriginRow();
  EXPECT_EQ(Pane->Buffer()->Row(), 16);
}

}  // namespace
}  // namespace kestrel
