// The teletype emulator: its byte table, keys, generic commands with their
// parameter lookup, and painting in runs (bytes in, cells and drawing
// operations out).

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "terminal/Adtrmemu.h"

namespace kestrel {
namespace {

// A terminal that shows an 80 x 24 grid of 8 x 16 cells and keeps what it
// would have sent to an open port.
class TScreenHost : public TAdTerminalHost {
 public:
  uint32_t Color() const override { return Back; }
  void SetColor(uint32_t c) override { Back = c; }
  uint32_t FontColor() const override { return Fore; }
  void SetFontColor(uint32_t c) override { Fore = c; }
  bool HalfDuplex() const override { return Half; }
  bool FreezeScrollBack() const override { return true; }
  TAdTerminalView View() const override { return ViewOf; }
  bool PortIsOpen() const override { return Open; }
  void PortPutChar(char c) override { Sent += c; }
  void PortPutString(std::string_view s) override { Sent += s; }
  bool AttachedToPort() const override { return Attached; }
  void Beep() override { ++Beeps; }
  void RepaintNow() override {}
  void CursorMoved(TAdTerminalBuffer*, int, int) override { ++Moves; }
  void EmulatorLinked(TAdTerminalEmulator*) override {}
  void EmulatorUnlinked(TAdTerminalEmulator*) override {}

  uint32_t Back = adBlack, Fore = adSilver;
  bool Half = false, Open = true, Attached = true;
  std::string Sent;
  int Beeps = 0, Moves = 0;
  TAdTerminalView ViewOf{1, 1, 80, 24, 8, 16, 0};
};

struct TOp {
  std::string What;
  int X, Y, W;
  uint32_t Color;
  std::string Text;
  bool operator==(const TOp&) const = default;
};

std::ostream& operator<<(std::ostream& os, const TOp& o) {
  return os << o.What << "(" << o.X << "," << o.Y << "," << o.W << ",#" << std::hex << o.Color
            << std::dec << ",\"" << o.Text << "\")";
}

class TRecordingCanvas : public TAdTerminalCanvas {
 public:
  void FillRect(int x, int y, int w, int, uint32_t c) override {
    Ops.push_back({"fill", x, y, w, c, ""});
  }
  void DrawText(int x, int y, int, const char* t, int n, uint32_t c) override {
    Ops.push_back({"text", x, y, n, c, std::string(t, size_t(n))});
  }
  void DrawHorzLine(int x, int y, int w, uint32_t c) override {
    Ops.push_back({"line", x, y, w, c, ""});
  }
  std::vector<TOp> Ops;
};

class TTY : public ::testing::Test {
 protected:
  void SetUp() override { emu.SetTerminal(&host); }
  void Feed(const std::string& bytes) {
    emu.ProcessBlock(reinterpret_cast<const uint8_t*>(bytes.data()), int(bytes.size()), csPort);
  }
  std::string Line(int row) {
    const auto* c = static_cast<const char*>(emu.Buffer()->GetLineCharPtr(row));
    std::string s(c, size_t(emu.Buffer()->ColCount()));
    s.erase(s.find_last_not_of(' ') + 1);
    return s;
  }
  TScreenHost host;
  TAdTTYEmulator emu;
};

TEST_F(TTY, ByteTable) {
  Feed("AB\r\nC");
  EXPECT_EQ(Line(1), "AB");
  EXPECT_EQ(Line(2), "C");
  Feed("\n");  // line feed alone keeps the column
  EXPECT_EQ(emu.Buffer()->Row(), 3);
  EXPECT_EQ(emu.Buffer()->Col(), 2);
  Feed("\b\b\bx");  // backspace stops at column 1 and does not erase
  EXPECT_EQ(Line(3), "x");
  Feed("\ty");
  EXPECT_EQ(Line(3), "x       y");

  // Every other control code changes nothing; 0x7F and 0x80-0xFF are shown.
  std::string ignored;
  for (int c = 1; c < 32; ++c)
    if (c != 7 && c != 8 && c != 9 && c != 10 && c != 13) ignored += char(c);
  emu.Buffer()->HasCursorMoved();
  Feed(ignored);
  EXPECT_FALSE(emu.Buffer()->HasCursorMoved());
  EXPECT_EQ(Line(3), "x       y");
  Feed(std::string("\xB3\x7F\xFF", 3));
  EXPECT_EQ(Line(3), std::string("x       y\xB3\x7F\xFF"));
  Feed("\a\a");
  EXPECT_EQ(host.Beeps, 2);
}

TEST_F(TTY, KeysGoToTheOpenPortAndEchoOnlyInHalfDuplex) {
  char key = 'a';
  emu.KeyPress(key);
  key = 8;
  emu.KeyPress(key);  // a backspace let through goes out as DEL
  EXPECT_EQ(key, 127);
  EXPECT_EQ(host.Sent, "a\x7F");
  EXPECT_EQ(Line(1), "");
  host.Half = true;
  key = 'z';
  emu.KeyPress(key);
  EXPECT_EQ(Line(1), "z");
  host.Open = false;
  key = 'q';
  emu.KeyPress(key);
  EXPECT_EQ(host.Sent, "a\x7Fz");
}

TEST_F(TTY, OnProcessCharRewritesAndAddsCommands) {
  emu.OnProcessChar = [](TAdTerminalEmulator*, char c, std::string& replace,
                         TAdEmuCommandList& commands, TAdCharSource) {
    if (c == '*') replace = "<star>";
    if (c == '#') {
      replace.clear();
      auto& pos = commands.AddCommand(ecCursorPos);
      pos.AddNamedIntegerArg("Col", 5);  // by name, though given first
      pos.AddNamedIntegerArg("Row", 2);
      commands.AddCommand(ecAddBold);
    }
  };
  Feed("a*#b");
  EXPECT_EQ(Line(1), "a<star>");
  EXPECT_EQ(Line(2), "    b");
  EXPECT_EQ(emu.Buffer()->GetLineAttrPtr(2)[4], tcaBold);
}

TEST(CommandParams, LookupByNameThenPositionThenDefault) {
  TAdEmuCommandListItem item(ecNone);
  item.AddIntegerArg(7);
  item.AddNamedBooleanArg("Wrap", true);
  item.AddStringArg("on");
  item.AddStringArg("maybe");
  item.AddTColorArg(0xFF0000);
  const TAdEmuCommandParams& p = item.Params;
  EXPECT_EQ(p.GetIntegerValue("Count", 0, 1), 7);    // by position
  EXPECT_EQ(p.GetIntegerValue("Count", 9, 1), 1);    // neither: default
  EXPECT_EQ(p.GetIntegerValue("Count", 2, 1), 1);    // does not convert
  EXPECT_TRUE(p.GetBooleanValue("Wrap", 0, false));  // by name
  EXPECT_TRUE(p.GetBooleanValue("x", 2, false));     // "on"
  EXPECT_TRUE(p.GetBooleanValue("x", 3, true));      // unknown word: default
  EXPECT_FALSE(p.GetBooleanValue("x", 3, false));
  EXPECT_EQ(p[1].Value, "TRUE");
  EXPECT_EQ(p.GetTColorValue("Color", 4, 0), 0xFF0000u);
  EXPECT_EQ(p.GetStringValue("String", 7, "none"), "none");
}

TEST_F(TTY, GenericCommandsOnTheBuffer) {
  TAdEmuCommandList list;
  list.AddCommand(ecInvertBlink);
  list.AddCommand(ecInvertUnderline);
  list.AddCommand(ecWriteString).AddStringArg("hi");
  list.AddCommand(ecSaveCursorPos);
  list.AddCommand(ecRemoveAllAttr);
  list.AddCommand(ecCursorPos).AddIntegerArg(5);
  list.AddCommand(ecForeColor).AddTColorArg(0x00FF00);
  list.AddCommand(ecWriteString).AddStringArg("x");
  emu.ExecuteTerminalCommands(list);
  TAdTerminalBuffer& b = *emu.Buffer();
  // Inverting blink toggles blink, not strike-through.
  EXPECT_EQ(b.GetLineAttrPtr(1)[0], tcaBlink | tcaUnderline);
  EXPECT_EQ(Line(5), "x");
  EXPECT_EQ(b.GetLineForeColorPtr(5)[0], 0x00FF00u);
  EXPECT_EQ(host.Fore, 0x00FF00u);  // persistent by default

  list.Clear();
  list.AddCommand(ecRestoreCursorPos);
  list.AddCommand(ecDeviceStatusReport).AddIntegerArg(6);
  emu.ExecuteTerminalCommands(list);
  EXPECT_EQ(b.Row(), 1);
  EXPECT_EQ(b.Col(), 3);
  EXPECT_EQ(host.Sent, "\033[1;3R");
  host.Attached = false;  // another terminal owns the port: no reply
  emu.ExecuteTerminalCommands(list);
  EXPECT_EQ(host.Sent, "\033[1;3R");
}

TEST_F(TTY, PaintsRunsWithSwappedHiddenBrightAndLinedText) {
  TAdTerminalBuffer& b = *emu.Buffer();
  b.WriteString("ab");
  b.SetCharAttrs(tcaReverse);
  b.WriteChar('c');
  b.SetCharAttrs(tcaReverse | tcaSelected);  // both: no swap
  b.WriteChar('d');
  b.SetCharAttrs(tcaInvisible | tcaBold);
  b.WriteChar('e');
  b.SetCharAttrs(tcaBold | tcaUnderline | tcaStrikethrough);
  b.tbSetForeColor(0x102030);
  b.WriteChar('f');
  TRecordingCanvas canvas;
  emu.Paint(canvas, TAdRect{0, 0, 6 * 8, 16});  // row 1, columns 1..6
  const std::vector<TOp> want{
      {"fill", 0, 0, 16, adBlack, ""},   {"text", 0, 0, 2, adSilver, "ab"},
      {"fill", 16, 0, 8, adSilver, ""},  {"text", 16, 0, 1, adBlack, "c"},
      {"fill", 24, 0, 8, adBlack, ""},   {"text", 24, 0, 1, adSilver, "d"},
      {"fill", 32, 0, 8, adBlack, ""},   {"text", 32, 0, 1, adBlack, "e"},
      {"fill", 40, 0, 8, adBlack, ""},   {"text", 40, 0, 1, 0x90A0B0, "f"},
      {"line", 40, 14, 8, 0x90A0B0, ""}, {"line", 40, 8, 8, 0x90A0B0, ""},
  };
  EXPECT_EQ(canvas.Ops, want);
}

TEST_F(TTY, LazyPaintDrawsOnlyInvalidRowsAndFollowsWindowColours) {
  TAdTerminalBuffer& b = *emu.Buffer();
  b.WriteString("x");
  b.SetCursorPosition(30, 1);  // below the window's 24 rows: skipped
  TRecordingCanvas canvas;
  emu.LazyPaint(canvas);  // the construction's whole-screen rectangle is due too
  EXPECT_EQ(canvas.Ops.size(), 24u * 2);
  canvas.Ops.clear();
  b.SetCursorPosition(3, 4);
  b.WriteChar('y');
  emu.LazyPaint(canvas);
  EXPECT_EQ(canvas.Ops, (std::vector<TOp>{{"fill", 24, 32, 8, adBlack, ""},
                                          {"text", 24, 32, 1, adSilver, "y"}}));
  EXPECT_FALSE(b.HasDisplayChanged());

  // A new window background recolours cells of the old one and repaints all.
  host.Back = 0x0000FF;
  canvas.Ops.clear();
  emu.LazyPaint(canvas);
  EXPECT_EQ(canvas.Ops.size(), 24u * 2);
  EXPECT_EQ(b.GetLineBackColorPtr(1)[0], 0x0000FFu);
  EXPECT_EQ(b.BackColor(), 0x0000FFu);
}

}  // namespace
}  // namespace kestrel
