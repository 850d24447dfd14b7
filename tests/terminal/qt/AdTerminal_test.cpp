// The terminal window on the offscreen platform: attaching when the port
// opens, receiving and painting, typed keys reaching the port (Backspace as
// the owner's three bytes), a closed port receiving nothing, capture, and the
// property range rules.

#include "terminal/qt/AdTerminal.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QClipboard>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <fstream>
#include <sstream>

#include "PortTestSupport.h"
#include "unitsim/UnitSimScheme.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using test::PumpFor;
using test::PumpUntil;

// The application lives from before the first test to after the last and is
// gone before the libraries' own statics are torn down at exit.
class TApplicationEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "terminal_window_test";
    static char* argv[] = {name, nullptr};
    app = std::make_unique<QApplication>(argc, argv);
    InstallQtYield();
  }
  void TearDown() override { app.reset(); }
  std::unique_ptr<QApplication> app;
};
::testing::Environment* const kApplication =
    ::testing::AddGlobalTestEnvironment(new TApplicationEnvironment);

std::string Trimmed(std::string s) {
  s.erase(s.find_last_not_of(' ') + 1);
  return s;
}

// Pixels of the grid cell (col, row), 1-based, that are not the background.
int InkIn(const TAdCustomTerminal& t, int col, int row) {
  const QImage& img = t.GridImage();
  const QRgb back = qRgb(0, 0, 0);
  int ink = 0;
  for (int y = (row - 1) * t.CellHeight(); y < row * t.CellHeight(); ++y)
    for (int x = (col - 1) * t.CellWidth(); x < col * t.CellWidth(); ++x)
      if (img.pixel(x, y) != back) ++ink;
  return ink;
}

// A port on a simulated cable whose far end the test holds, every other
// port mapped to nothing, AutoOpen off as on the main window.
class TerminalWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    test::MapAllPortsMissing();
    far = test::TSimPorts::Attach(port.PortMap(), 1);
    port.SetComNumber(1);
    port.SetAutoOpen(false);
    term = std::make_unique<TAdTerminal>();
    term->SetUseLazyDisplay(false);
    term->resize(500, 300);
    term->show();
  }
  void TearDown() override {
    term.reset();
    test::MapAllPortsMissing();
  }
  void Send(const std::string& text) { ASSERT_EQ(far->SendFor(text, 5s), int(text.size())); }
  std::string Received(size_t n) {
    const auto got = far->ReadExactly(n, 5s);
    return std::string(got.begin(), got.end());
  }

  std::shared_ptr<TApdSimFarEnd> far;
  TApdComPort port;
  std::unique_ptr<TAdTerminal> term;
};

TEST_F(TerminalWindow, AttachesWhenThePortOpensReceivesPaintsAndResumesAfterReopen) {
  term->SetComPort(&port);
  QCoreApplication::processEvents();  // whatever the binding posted
  // Closed at start: waiting for the port, no handler.
  EXPECT_TRUE(term->AttachPending());
  EXPECT_FALSE(term->TriggerHandlerRegistered());
  EXPECT_FALSE(port.Open());  // the terminal does not open it

  port.SetOpen(true);
  ASSERT_TRUE(PumpUntil([&] { return term->TriggerHandlerRegistered(); }));
  Send("hello\r\nworld");
  ASSERT_TRUE(PumpUntil([&] { return Trimmed(term->tmGetLine(2)) == "world"; }));
  EXPECT_EQ(Trimmed(term->tmGetLine(1)), "hello");
  ASSERT_TRUE(PumpUntil([&] { return InkIn(*term, 1, 1) > 0; }));  // 'h'
  EXPECT_EQ(InkIn(*term, 20, 1), 0);                               // blank
  EXPECT_GT(term->PaintCount(), 0u);
  // The loader's own reader still gets every byte of the same delivery.
  EXPECT_EQ(port.InBuffUsed(), 0);

  port.SetOpen(false);
  ASSERT_TRUE(PumpUntil([&] { return !term->TriggerHandlerRegistered(); }));
  EXPECT_TRUE(term->AttachPending());
  port.SetOpen(true);
  ASSERT_TRUE(PumpUntil([&] { return term->TriggerHandlerRegistered(); }));
  // Attaching again keeps the cursor where the text ended: what follows
  // comes below it, not over the first lines.
  Send("\r\nagain");
  ASSERT_TRUE(PumpUntil([&] { return Trimmed(term->tmGetLine(3)) == "again"; }));
  EXPECT_EQ(Trimmed(term->tmGetLine(1)), "hello");
  EXPECT_EQ(Trimmed(term->tmGetLine(2)), "world");
}

TEST_F(TerminalWindow, KeysReachThePortAndTheOwnersBackspaceReplacesTheEmulators) {
  term->SetComPort(&port);
  term->setFocus();
  // Closed: typed characters go nowhere and nothing complains.
  QTest::keyClicks(term.get(), "zz");
  port.SetOpen(true);
  ASSERT_TRUE(PumpUntil([&] { return term->TriggerHandlerRegistered(); }));
  EXPECT_EQ(far->Available(), 0u);

  QTest::keyClicks(term.get(), "ab");
  QTest::keyClick(term.get(), Qt::Key_Backspace);  // no owner handler: DEL
  EXPECT_EQ(Received(3), "ab\x7F");

  // The main window's handler: back, blank, back, and the key swallowed.
  term->OnKeyPress = [&](char& key) {
    if (key != '\b' || !port.Open()) return;
    key = 0;
    port.PutChar('\b');
    port.PutChar(' ');
    port.PutChar('\b');
  };
  QTest::keyClick(term.get(), Qt::Key_Backspace);
  QTest::keyClicks(term.get(), "c");
  EXPECT_EQ(Received(4), "\b \bc");
  // Output keeps its order: nothing else was sent before a marker sent last.
  port.PutChar('.');
  EXPECT_EQ(Received(1), ".");
  EXPECT_EQ(far->Available(), 0u);
  EXPECT_EQ(Trimmed(term->tmGetLine(1)), "");  // full duplex: no local echo
}

TEST_F(TerminalWindow, WriteStringShowsWithoutAPortAndCaptureAppends) {
  QTemporaryDir dir;
  const std::string path = dir.filePath("cap.txt").toStdString();
  std::ofstream(path) << "old;";
  term->SetCaptureFile(path);
  term->SetCapture(cmAppend);
  EXPECT_EQ(term->Capture(), cmOn);
  term->WriteString("0123456789012345678901234567890123456789012345678901234567890123456789");
  ASSERT_TRUE(PumpUntil([&] { return term->tmGetLine(1).substr(0, 3) == "012"; }));
  // The default emulator does not move the view after the cursor.
  EXPECT_EQ(term->OriginCol(), 1);
  term->SetCapture(cmOff);
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  EXPECT_EQ(text.str().substr(0, 7), "old;012");
  EXPECT_EQ(text.str().size(), 4u + 70u);

  // A file that cannot be made raises at once; nothing is captured.
  term->SetCaptureFile(dir.filePath("no/such/dir/x").toStdString());
  EXPECT_THROW(term->SetCapture(cmOn), EInOutError);
  EXPECT_EQ(term->Capture(), cmOn);
  term->WriteString("x");
  QCoreApplication::processEvents();
  term->SetCapture(cmOff);
  term->SetCaptureFile("");
  EXPECT_EQ(term->CaptureFile(), "KELPTERM.CAP");
}

TEST_F(TerminalWindow, DraggingSelectsCellsAndCopiesThemRowByRow) {
  term->WriteString("hello world\r\nsecond line");
  ASSERT_TRUE(PumpUntil([&] { return Trimmed(term->tmGetLine(2)) == "second line"; }));
  const int w = term->CellWidth(), h = term->CellHeight();
  auto cell = [&](int col, int row) {
    return QPoint((col - 1) * w + w / 2, (row - 1) * h + h / 2);
  };
  QWidget* view = term->viewport();
  QTest::mousePress(view, Qt::LeftButton, {}, cell(7, 1));
  QMouseEvent move(QEvent::MouseMove, QPointF(cell(6, 2)), view->mapToGlobal(QPointF(cell(6, 2))),
                   Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(view, &move);
  QTest::mouseRelease(view, Qt::LeftButton, {}, cell(6, 2));
  EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(),
            "world" + std::string(80 - 11, ' ') + "\r\nsecond\r\n");
  EXPECT_EQ(term->tmGetAttributes(1, 6), 0);
  EXPECT_EQ(term->tmGetAttributes(1, 7), tcaSelected);
  EXPECT_EQ(term->tmGetAttributes(2, 6), tcaSelected);
  EXPECT_EQ(term->tmGetAttributes(2, 7), 0);
  term->HideSelection();
  EXPECT_EQ(term->tmGetAttributes(1, 7), 0);
}

// Drags over a cell range, 1-based columns, screen rows.
void Drag(TAdTerminal& t, int col1, int row1, int col2, int row2) {
  const int w = t.CellWidth(), h = t.CellHeight();
  auto cell = [&](int col, int row) {
    return QPoint((col - 1) * w + w / 2, (row - 1) * h + h / 2);
  };
  QWidget* view = t.viewport();
  QTest::mousePress(view, Qt::LeftButton, {}, cell(col1, row1));
  QMouseEvent move(QEvent::MouseMove, QPointF(cell(col2, row2)),
                   view->mapToGlobal(QPointF(cell(col2, row2))), Qt::NoButton, Qt::LeftButton,
                   Qt::NoModifier);
  QApplication::sendEvent(view, &move);
  QTest::mouseRelease(view, Qt::LeftButton, {}, cell(col2, row2));
}

// Rows first .. last holding a selected cell.
std::vector<int> SelectedRows(const TAdTerminal& t, int first, int last) {
  std::vector<int> rows;
  for (int row = first; row <= last; ++row)
    for (int col = 1; col <= t.Columns(); ++col)
      if (t.tmGetAttributes(row, col) & tcaSelected) {
        rows.push_back(row);
        break;
      }
  return rows;
}

TEST_F(TerminalWindow, SelectionFollowsScrollingTextAndEndsWhenTheShapeChanges) {
  term->SetRows(4);
  term->resize(82 * term->CellWidth(), 300);
  auto show = [&](const std::string& text, int row, const std::string& line) {
    term->WriteString(text);
    ASSERT_TRUE(PumpUntil([&] { return Trimmed(term->tmGetLine(row)) == line; }));
  };
  show("one\r\ntwo\r\nthree\r\nfour", 4, "four");
  Drag(*term, 1, 2, 3, 2);  // "two"
  show("\r\nfive\r\nsix", 4, "six");
  // Two lines later the highlight and the copy are still "two", now row 0.
  EXPECT_EQ(SelectedRows(*term, -5, 4), std::vector<int>{0});
  QGuiApplication::clipboard()->setText("-");
  term->CopyToClipboard();
  EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), "two\r\n");
  term->HideSelection();
  EXPECT_EQ(SelectedRows(*term, -10, 4), std::vector<int>{});

  // A scroll of part of the screen that touches the selection ends it.
  Drag(*term, 1, 2, 2, 3);
  term->Buffer()->SetScrollRegion(2, 4);  // the cursor goes to row 2
  show("\n\n\nseven", 4, "seven");
  EXPECT_FALSE(term->HasSelection());
  EXPECT_EQ(SelectedRows(*term, -10, 4), std::vector<int>{});
  term->Buffer()->SetScrollRegion(1, 4);

  // Columns 70 to 80, then the screen narrows: the selection ends before
  // its cells are gone, and nothing is copied from beyond a row.
  term->Buffer()->SetCursorPosition(4, 1);
  show(std::string(79, 'x') + "y", 4, std::string(79, 'x') + "y");
  Drag(*term, 70, 4, 80, 4);
  ASSERT_EQ(SelectedRows(*term, 4, 4), std::vector<int>{4});
  term->SetColumns(40);
  EXPECT_FALSE(term->HasSelection());
  QGuiApplication::clipboard()->setText("-");
  term->CopyToClipboard();
  EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), "-");
  // Narrowed behind the window's back, a copy stops at the last column.
  term->Buffer()->SetCursorPosition(4, 1);
  term->WriteString(std::string(40, 'z'));
  ASSERT_TRUE(PumpUntil([&] { return term->tmGetLine(4) == std::string(40, 'z'); }));
  Drag(*term, 30, 4, 40, 4);
  term->Buffer()->SetColCount(35);
  term->CopyToClipboard();
  EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), std::string(6, 'z') + "\r\n");
  term->HideSelection();
  for (int n : {60, 30}) {  // Rows and ScrollbackRows end it too
    Drag(*term, 1, 1, 5, 1);
    if (n == 60)
      term->SetScrollbackRows(n);
    else
      term->SetRows(3);
    EXPECT_FALSE(term->HasSelection()) << n;
  }
}

TEST_F(TerminalWindow, ABurstOfBellsRingsOnceAndALineUpAtTheTopOpensTheScrollback) {
  term->WriteString(std::string(10000, '\a') + "done");
  ASSERT_TRUE(PumpUntil([&] { return Trimmed(term->tmGetLine(1)) == "done"; }));
  EXPECT_EQ(term->BeepCount(), 1u);
  PumpFor(150);
  term->WriteString("\a\a\a");
  ASSERT_TRUE(PumpUntil([&] { return term->BeepCount() == 2u; }));

  // A window too short for its rows: a line up at the first row reaches
  // into the scrollback, and a line down from there leaves it again.
  term->resize(500, 8 * term->CellHeight());
  PumpFor(20);
  ASSERT_FALSE(term->Scrollback());
  ASSERT_EQ(term->OriginRow(), 1);
  term->verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
  EXPECT_TRUE(term->Scrollback());
  EXPECT_EQ(term->OriginRow(), 0);
  term->verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
  EXPECT_FALSE(term->Scrollback());
  EXPECT_EQ(term->OriginRow(), 1);
}

TEST_F(TerminalWindow, PropertyRangeRules) {
  TAdTerminal fresh;
  struct Case {
    int in, want;
  };
  for (Case c : {Case{100, 250}, {0, 0}, {-5, 0}, {249, 250}, {250, 250}, {700, 700}}) {
    fresh.SetBlinkTime(c.in);
    EXPECT_EQ(fresh.BlinkTime(), c.want) << c.in;
  }
  for (Case c : {Case{2000, 200}, {0, 200}, {1024, 1024}, {1, 1}}) {
    fresh.SetLazyByteDelay(200);
    fresh.SetLazyByteDelay(c.in);
    EXPECT_EQ(fresh.LazyByteDelay(), c.want) << c.in;
  }
  for (Case c : {Case{0, 100}, {1001, 100}, {1000, 1000}, {1, 1}}) {
    fresh.SetLazyTimeDelay(100);
    fresh.SetLazyTimeDelay(c.in);
    EXPECT_EQ(fresh.LazyTimeDelay(), c.want) << c.in;
  }
  fresh.SetRows(0);
  fresh.SetColumns(-1);
  fresh.SetScrollbackRows(-3);
  EXPECT_EQ(fresh.Rows(), 24);
  EXPECT_EQ(fresh.Columns(), 80);
  EXPECT_EQ(fresh.ScrollbackRows(), 200);
  fresh.SetRows(16);
  fresh.SetColumns(40);
  EXPECT_EQ(fresh.Buffer()->RowCount(), 16);
  EXPECT_EQ(fresh.Buffer()->ColCount(), 40);
  EXPECT_THROW(fresh.SetRows(1), Exception);
}

// The in-process simulated unit behind "sim:" answers what is typed.
TEST(TerminalOnSimulatedUnit, TheUnitsEchoAndPromptAppearInThePane) {
  test::MapAllPortsMissing();
  test::MapPath(6, "sim:");
  TApdComPort port;
  RegisterSimulatedUnitScheme(port.PortMap());
  port.SetAutoOpen(false);
  port.SetComNumber(6);
  TAdTerminal term;
  term.SetUseLazyDisplay(false);
  term.SetComPort(&port);
  term.show();
  port.SetOpen(true);
  ASSERT_TRUE(PumpUntil([&] { return term.TriggerHandlerRegistered(); }));
  term.setFocus();
  QTest::keyClicks(&term, "VER");
  QTest::keyClick(&term, Qt::Key_Return);
  ASSERT_TRUE(PumpUntil([&] { return Trimmed(term.tmGetLine(1)) == "VER"; }));
  ASSERT_TRUE(PumpUntil([&] {
    for (int row = 2; row <= 5; ++row)
      if (Trimmed(term.tmGetLine(row)) == "#") return true;
    return false;
  }));
  port.SetOpen(false);
  test::MapAllPortsMissing();
}

}  // namespace
}  // namespace kestrel
