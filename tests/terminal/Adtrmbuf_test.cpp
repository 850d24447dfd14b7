// The screen buffer: deferred wrap, scrolling into the scrollback and inside
// a region, erasing in the current rendition, tabs, invalid rectangles,
// default colour replacement and resizing.

#include "terminal/Adtrmbuf.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "messages/Adexcept.h"

namespace kestrel {
namespace {

constexpr uint32_t kBlue = 0xFF0000;
constexpr uint32_t kRed = 0x0000FF;

// Row text in absolute numbering, trailing blanks removed.
std::string Line(TAdTerminalBuffer& b, int row) {
  const auto* chars = static_cast<const char*>(b.GetLineCharPtr(row));
  if (!chars) return "<none>";
  std::string s(chars, size_t(b.ColCount()));
  s.erase(s.find_last_not_of(' ') + 1);
  return s;
}

void Drain(TAdTerminalBuffer& b) {
  TAdRect r;
  while (b.GetInvalidRect(r)) {
  }
}

// A small screen: 10 columns, 4 rows, 6 rows kept in all.
class Buffer : public ::testing::Test {
 protected:
  void SetUp() override {
    b.SetSVRowCount(6);
    b.SetRowCount(4);
    b.SetColCount(10);
    Drain(b);
  }
  TAdTerminalBuffer b{false};
};

TEST(BufferDefaults, ShapeCursorTabsAndWholeScreenInvalid) {
  TAdTerminalBuffer b(false);
  EXPECT_EQ(b.SVRowCount(), 200);
  EXPECT_EQ(b.RowCount(), 24);
  EXPECT_EQ(b.ColCount(), 80);
  EXPECT_EQ(b.Row(), 1);
  EXPECT_EQ(b.Col(), 1);
  TAdRect r;
  ASSERT_TRUE(b.GetInvalidRect(r));
  EXPECT_EQ((std::vector<int>{r.Left, r.Top, r.Right, r.Bottom}), (std::vector<int>{1, 1, 80, 24}));
  // Tab stops at 1, 9, ... 73, then the last column.
  std::vector<int> stops;
  for (int i = 0; i < 11; ++i) {
    b.DoHorzTab();
    stops.push_back(b.Col());
  }
  EXPECT_EQ(stops, (std::vector<int>{9, 17, 25, 33, 41, 49, 57, 65, 73, 80, 80}));
}

TEST_F(Buffer, DeferredWrapAtTheLastColumnScrollsOnlyWithTheNextCharacter) {
  b.SetCursorPosition(4, 1);
  b.WriteString("0123456789");
  EXPECT_EQ(b.Col(), 10);  // stays on the last column
  EXPECT_EQ(b.Row(), 4);
  EXPECT_EQ(Line(b, 0), "");  // nothing scrolled yet
  b.WriteChar('X');
  EXPECT_EQ(b.Row(), 4);
  EXPECT_EQ(b.Col(), 2);
  EXPECT_EQ(Line(b, 3), "0123456789");
  EXPECT_EQ(Line(b, 4), "X");

  // Without wrap or delay the last column is overwritten again and again.
  b.UseAutoWrap = false;
  b.UseAutoWrapDelay = false;
  b.SetCursorPosition(1, 8);
  b.WriteString("abcde");
  EXPECT_EQ(Line(b, 1), "       abe");
  EXPECT_EQ(b.Row(), 1);
}

TEST_F(Buffer, LineFeedAtTheBottomFeedsTheScrollbackButNotInsideARegion) {
  b.tbSetBackColor(kBlue);
  for (int r = 1; r <= 4; ++r) {
    b.SetCursorPosition(r, 1);
    b.WriteChar(uint16_t('A' + r - 1));
  }
  b.SetCursorPosition(4, 1);
  b.DoLineFeed();
  EXPECT_EQ(Line(b, 0), "A");  // the top line is the newest scrollback row
  EXPECT_EQ(Line(b, 1), "B");
  EXPECT_EQ(Line(b, 4), "");
  EXPECT_EQ(b.GetLineBackColorPtr(4)[0], kBlue);  // blanked in the current colours
  EXPECT_EQ(b.Col(), 1);                          // the carriage does not return
  // ... the colours current at the line feed, not at the next write.
  b.tbSetBackColor(kRed);
  b.SetCursorPosition(4, 4);
  b.WriteChar('x');
  EXPECT_EQ(Line(b, 4), "   x");
  EXPECT_EQ(b.GetLineBackColorPtr(4)[2], kBlue);
  EXPECT_EQ(b.GetLineBackColorPtr(4)[3], kRed);
  EXPECT_EQ(b.GetLineBackColorPtr(4)[9], kBlue);

  b.SetScrollRegion(2, 3);
  b.SetCursorPosition(2, 1);
  b.WriteChar('r');
  b.DoLineFeed();
  b.DoLineFeed();  // bottom of the region: scrolls rows 2..3 only
  EXPECT_EQ(Line(b, 0), "A");
  EXPECT_EQ(Line(b, 1), "B");
  EXPECT_EQ(Line(b, 2), "D");
  EXPECT_EQ(Line(b, 3), "");
  EXPECT_EQ(Line(b, 4), "   x");

  // The whole screen as region is no region.
  b.SetScrollRegion(1, 4);
  EXPECT_FALSE(b.UseScrollRegion());
  b.SetScrollRegion(3, 2);  // reversed bounds are swapped
  EXPECT_TRUE(b.UseScrollRegion());
  EXPECT_EQ(b.OriginRow(), 2);
}

// A run of line feeds taken at once ends as the same line feeds one by one
// would: on the screen, in the scrollback, in a region, from below it.
TEST(BufferLineFeeds, ARunEqualsSingleLineFeeds) {
  struct Case {
    int top, bottom, cursorRow, feeds;
  };
  for (const Case c :
       {Case{1, 4, 1, 2}, {1, 4, 2, 5}, {1, 4, 4, 9}, {2, 3, 2, 3}, {2, 3, 3, 7}, {2, 3, 4, 2}}) {
    TAdTerminalBuffer one(false), run(false);
    for (TAdTerminalBuffer* b : {&one, &run}) {
      b->SetSVRowCount(7);
      b->SetRowCount(4);
      b->SetColCount(10);
      for (int r = 1; r <= 4; ++r) {
        b->SetCursorPosition(r, 1);
        b->WriteChar(uint16_t('A' + r - 1));
      }
      b->SetScrollRegion(c.top, c.bottom);
      b->SetCursorPosition(c.cursorRow, 3);
    }
    for (int i = 0; i < c.feeds; ++i) one.DoLineFeed();
    run.DoLineFeeds(c.feeds);
    for (int row = -2; row <= 4; ++row)
      EXPECT_EQ(Line(run, row), Line(one, row)) << c.top << c.bottom << c.cursorRow << c.feeds;
    EXPECT_EQ(run.Row(), one.Row());
    EXPECT_EQ(run.Col(), one.Col());
  }
}

TEST_F(Buffer, ErasingFillsInTheCurrentRendition) {
  b.SetCursorPosition(2, 1);
  b.WriteString("0123456789");
  b.SetCursorPosition(3, 1);
  b.WriteString("abcdefghij");
  b.tbSetBackColor(kRed);
  b.SetCharAttrs(tcaReverse);

  b.SetCursorPosition(2, 4);
  b.EraseToEOL();
  EXPECT_EQ(Line(b, 2), "012");
  EXPECT_EQ(b.GetLineBackColorPtr(2)[3], kRed);
  EXPECT_EQ(b.GetLineAttrPtr(2)[9], tcaReverse);
  EXPECT_EQ(b.GetLineBackColorPtr(2)[2], adBlack);

  b.SetCursorPosition(3, 3);
  b.EraseFromBOL();
  EXPECT_EQ(Line(b, 3), "   defghij");
  b.SetCursorPosition(3, 9);
  b.EraseChars(5);  // two cells here, three on the next row
  EXPECT_EQ(Line(b, 3), "   defgh");
  b.SetCursorPosition(3, 5);
  b.DeleteChars(2);
  EXPECT_EQ(Line(b, 3), "   dgh");
  b.InsertChars(3);
  EXPECT_EQ(Line(b, 3), "   d   gh");
  EXPECT_EQ(b.Col(), 5);
  b.EraseChars(0);  // nothing
  b.DeleteChars(-1);
  EXPECT_EQ(Line(b, 3), "   d   gh");

  b.SetCursorPosition(4, 1);
  b.WriteString("keep");
  b.EraseScreen();  // the screen moves into the two scrollback rows
  EXPECT_EQ(Line(b, -1), "   d   gh");
  EXPECT_EQ(Line(b, 0), "keep");
  EXPECT_EQ(Line(b, 1), "");
  b.EraseAll();  // everything goes and the cursor goes home
  EXPECT_EQ(Line(b, -1), "");
  EXPECT_EQ(Line(b, 0), "");
  EXPECT_EQ(b.Row(), 1);
  EXPECT_EQ(b.Col(), 1);
  EXPECT_EQ(b.GetLineBackColorPtr(-1)[0], kRed);
}

TEST_F(Buffer, EraseToAndFromCursorWithWholeRows) {
  for (int r = 1; r <= 4; ++r) {
    b.SetCursorPosition(r, 1);
    b.WriteString("xxxxxxxxxx");
  }
  std::vector<std::vector<int>> scrolled;
  b.OnScrollRows = [&](TAdTerminalBuffer*, int count, int top, int bottom) {
    scrolled.push_back({count, top, bottom});
  };
  b.SetCursorPosition(2, 6);
  b.EraseFromBOW();
  EXPECT_EQ(Line(b, 1), "");
  EXPECT_EQ(Line(b, 2), "      xxxx");
  b.SetCursorPosition(3, 4);
  b.EraseToEOW();
  EXPECT_EQ(Line(b, 3), "xxx");
  EXPECT_EQ(Line(b, 4), "");
  EXPECT_EQ(scrolled, (std::vector<std::vector<int>>{{1, 1, 1}, {1, 4, 4}}));
}

TEST_F(Buffer, TabsAndBackspaceStopAtTheRegionEdges) {
  b.SetCursorPosition(1, 10);
  b.DoHorzTab();
  EXPECT_EQ(b.Col(), 10);
  b.SetCursorPosition(1, 3);
  b.DoBackHorzTab();  // no stop to the left but column 1's
  EXPECT_EQ(b.Col(), 1);
  b.DoBackspace();
  EXPECT_EQ(b.Col(), 1);
  b.ClearAllHorzTabStops();
  b.SetCursorPosition(1, 2);
  b.DoHorzTab();
  EXPECT_EQ(b.Col(), 10);
  b.SetCursorPosition(1, 5);
  b.SetHorzTabStop();
  b.SetCursorPosition(1, 9);
  b.DoBackHorzTab();
  EXPECT_EQ(b.Col(), 5);

  b.SetCursorPosition(1, 1);
  b.DoVertTab();  // no vertical stops: the bottom row
  EXPECT_EQ(b.Row(), 4);
  b.SetCursorPosition(2, 1);
  b.SetVertTabStop();
  b.SetCursorPosition(4, 1);
  b.DoBackVertTab();
  EXPECT_EQ(b.Row(), 2);
}

TEST_F(Buffer, InvalidRectanglesComeOutAsOneBoundingRectangle) {
  b.SetCursorPosition(3, 5);
  b.WriteChar('a');
  b.SetCursorPosition(4, 2);
  b.WriteChar('b');
  b.SetCursorPosition(1, 9);
  b.WriteString("cd");  // joins along its row
  TAdRect r;
  ASSERT_TRUE(b.GetInvalidRect(r));
  EXPECT_EQ((std::vector<int>{r.Left, r.Top, r.Right, r.Bottom}), (std::vector<int>{2, 1, 10, 4}));
  EXPECT_FALSE(b.GetInvalidRect(r));
  EXPECT_FALSE(b.HasDisplayChanged());

  // A scroll into the scrollback invalidates the whole screen.
  b.SetCursorPosition(4, 1);
  b.DoLineFeed();
  ASSERT_TRUE(b.GetInvalidRect(r));
  EXPECT_EQ((std::vector<int>{r.Left, r.Top, r.Right, r.Bottom}), (std::vector<int>{1, 1, 10, 4}));

  // Many scattered cells still drain in one call (the pool grows past a block).
  for (int i = 0; i < 450; ++i) {
    b.SetCursorPosition(1 + (i % 2) * 3, 1 + (i % 2) * 9);
    b.WriteChar('z');
  }
  ASSERT_TRUE(b.GetInvalidRect(r));
  EXPECT_EQ((std::vector<int>{r.Left, r.Top, r.Right, r.Bottom}), (std::vector<int>{1, 1, 10, 4}));
  EXPECT_FALSE(b.GetInvalidRect(r));
}

TEST_F(Buffer, DefaultColourChangeRecoloursCellsOfTheOldDefault) {
  b.WriteString("ab");
  b.tbSetBackColor(kRed);
  b.WriteString("cd");
  b.tbSetBackColor(adBlack);  // black again as a current colour
  b.WriteString("ef");
  b.tbSetDefBackColor(kBlue);
  const uint32_t* back = b.GetLineBackColorPtr(1);
  EXPECT_EQ(back[0], kBlue);
  EXPECT_EQ(back[2], kRed);
  EXPECT_EQ(back[4], kBlue);
  EXPECT_EQ(back[9], kBlue);
  EXPECT_EQ(b.BackColor(), adBlack);  // the current colour stays
  b.tbSetDefForeColor(kRed);
  EXPECT_EQ(b.GetLineForeColorPtr(1)[0], kRed);
}

TEST_F(Buffer, ResizingKeepsTheScreenAtTheBottomAndRejectsTooSmallCounts) {
  b.SetCursorPosition(1, 1);
  b.WriteString("top");
  b.SetCursorPosition(4, 1);
  b.WriteString("bottom");
  b.DoLineFeed();  // "top" goes to the scrollback
  b.SetSVRowCount(8);
  EXPECT_EQ(Line(b, 0), "top");
  EXPECT_EQ(Line(b, 3), "bottom");
  EXPECT_EQ(b.Row(), 4);  // the cursor keeps its screen row
  b.SetColCount(4);
  EXPECT_EQ(Line(b, 3), "bott");
  EXPECT_EQ(b.Row(), 1);  // home after a width change
  EXPECT_EQ(b.Col(), 1);
  b.SetColCount(10);  // columns coming back are blank
  EXPECT_EQ(Line(b, 3), "bott");

  b.SetRowCount(50);  // larger than the kept area: ignored
  EXPECT_EQ(b.RowCount(), 4);
  b.SetSVRowCount(3);  // the screen shrinks with it
  EXPECT_EQ(b.RowCount(), 3);
  EXPECT_EQ(Line(b, 2), "bott");

  struct Case {
    void (TAdTerminalBuffer::*set)(int);
    const char* message;
  };
  for (const Case& c : {Case{&TAdTerminalBuffer::SetColCount,
                             "TAdTerminalBuffer.tbSetColCount: new count too small"},
                        Case{&TAdTerminalBuffer::SetRowCount,
                             "TAdTerminalBuffer.tbSetRowCount: new count too small"},
                        Case{&TAdTerminalBuffer::SetSVRowCount,
                             "TAdTerminalBuffer.tbSetSVRowCount: new count too small"}}) {
    try {
      (b.*c.set)(1);
      ADD_FAILURE() << c.message;
    } catch (const Exception& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
  EXPECT_EQ(b.ColCount(), 10);
  EXPECT_EQ(b.RowCount(), 3);
  EXPECT_EQ(b.SVRowCount(), 3);
}

TEST_F(Buffer, RegionRelativeAddressingAndCursorEvents) {
  std::vector<std::vector<int>> moves;
  b.OnCursorMoved = [&](TAdTerminalBuffer*, int row, int col) { moves.push_back({row, col}); };
  b.SetScrollRegion(2, 4);
  b.UseAbsAddress = false;
  b.SetCursorPosition(1, 3);  // the region's first row
  b.UseAbsAddress = true;
  EXPECT_EQ(b.Row(), 2);
  EXPECT_EQ(b.Col(), 3);
  EXPECT_TRUE(b.HasCursorMoved());
  EXPECT_FALSE(b.HasCursorMoved());
  ASSERT_FALSE(moves.empty());
  EXPECT_EQ(moves.back(), (std::vector<int>{1, 3}));
  // Rows are clamped to the kept area, scrollback included.
  b.SetRow(-40);
  EXPECT_EQ(b.Row(), -1);
}

// A region set before the kept area changed shape, switched on afterwards,
// stays on the screen; far-out row and column numbers end at the edges.
TEST(BufferEdges, StaleRegionAndFarOutNumbersStayInsideTheKeptArea) {
  TAdTerminalBuffer b(false);
  b.SetScrollRegion(5, 10);
  b.SetSVRowCount(50);
  b.tbSetUseScrollRegion(true);
  EXPECT_EQ(b.OriginRow(), 5);
  EXPECT_EQ(b.Row(), 5);
  b.WriteChar('x');
  EXPECT_EQ(Line(b, 5), "x");
  b.tbSetUseScrollRegion(false);
  b.SetRowCount(8);  // the screen is now shorter than the region
  b.tbSetUseScrollRegion(true);
  EXPECT_EQ(b.OriginRow(), 5);
  b.SetCursorPosition(40, 1);
  b.DoLineFeed();
  EXPECT_EQ(b.Row(), 8);

  b.tbSetUseScrollRegion(false);
  b.SetCursorPosition(INT_MAX, INT_MAX);
  EXPECT_EQ(b.Row(), 8);
  EXPECT_EQ(b.Col(), 80);
  b.SetCursorPosition(INT_MIN, INT_MIN);
  EXPECT_EQ(b.Row(), 8 - 50 + 1);
  EXPECT_EQ(b.Col(), 1);
  b.UseAbsAddress = false;
  b.SetCursorPosition(INT_MAX, 2);
  EXPECT_EQ(b.Row(), 8);
  EXPECT_EQ(b.GetLineCharPtr(INT_MAX), nullptr);
  EXPECT_EQ(b.GetLineCharPtr(INT_MIN), nullptr);
}

// Changing the shape after the screen has scrolled: every plane keeps its
// rows together, far too large counts are refused with the buffer whole,
// and a scrollback change keeps the cursor, region and vertical stops.
TEST_F(Buffer, ShapeChangesKeepPlanesRowsCursorAndStopsTogether) {
  b.SetCursorPosition(4, 1);
  for (int i = 0; i < 3; ++i) b.DoLineFeed();  // the kept rows have turned
  b.SetColCount(11);                           // the character plane keeps its row length
  b.tbSetForeColor(kRed);
  b.SetCursorPosition(1, 1);
  b.WriteString("r");
  b.WriteOneChar('s');
  EXPECT_EQ(Line(b, 1), "rs");
  for (int row = -1; row <= 4; ++row)
    for (int col = 0; col < 2; ++col)
      EXPECT_EQ(b.GetLineForeColorPtr(row)[col], row == 1 ? kRed : adSilver)
          << "row " << row << " col " << col;

  b.SetCursorPosition(4, 1);
  b.WriteString("kept");
  for (auto set : {&TAdTerminalBuffer::SetColCount, &TAdTerminalBuffer::SetSVRowCount,
                   &TAdTerminalBuffer::SetRowCount}) {
    for (int n : {INT_MAX - 2, INT_MAX, TAdTerminalBuffer::kMaxSVRowCount + 1}) {
      try {
        (b.*set)(n);
        // A screen taller than the kept area is ignored, as it always was.
        EXPECT_EQ(set, &TAdTerminalBuffer::SetRowCount) << n;
      } catch (const Exception& e) {
        EXPECT_NE(std::string(e.what()).find("new count too large"), std::string::npos);
      }
    }
  }
  EXPECT_EQ(b.ColCount(), 11);
  EXPECT_EQ(b.RowCount(), 4);
  EXPECT_EQ(b.SVRowCount(), 6);
  EXPECT_EQ(Line(b, 4), "kept");
  EXPECT_EQ(b.GetLineForeColorPtr(1)[0], kRed);

  b.SetScrollRegion(2, 3);
  b.SetCursorPosition(3, 4);
  b.SetVertTabStop();
  b.SetSVRowCount(20);
  EXPECT_EQ(b.Row(), 3);
  EXPECT_EQ(b.Col(), 4);
  EXPECT_TRUE(b.UseScrollRegion());
  EXPECT_EQ(b.OriginRow(), 2);
  b.SetCursorPosition(2, 1);
  b.DoVertTab();
  EXPECT_EQ(b.Row(), 3);
  EXPECT_EQ(Line(b, 4), "kept");
}

}  // namespace
}  // namespace kestrel
