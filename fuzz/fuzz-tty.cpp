// The teletype emulator on any bytes from the port, painted into a canvas
// that checks every drawing operation lies within the grid: the cursor stays
// on the screen and nothing is read or written outside the screen buffer.
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "terminal/Adtrmemu.h"

namespace {

using namespace kestrel;

class THost : public TAdTerminalHost {
 public:
  uint32_t Color() const override { return adBlack; }
  void SetColor(uint32_t) override {}
  uint32_t FontColor() const override { return adSilver; }
  void SetFontColor(uint32_t) override {}
  bool HalfDuplex() const override { return false; }
  bool FreezeScrollBack() const override { return Freeze; }
  TAdTerminalView View() const override { return ViewOf; }
  bool PortIsOpen() const override { return true; }
  void PortPutChar(char) override {}
  void PortPutString(std::string_view) override {}
  bool AttachedToPort() const override { return true; }
  void Beep() override {}
  void RepaintNow() override {}
  void CursorMoved(TAdTerminalBuffer*, int, int) override {}
  void EmulatorLinked(TAdTerminalEmulator*) override {}
  void EmulatorUnlinked(TAdTerminalEmulator*) override {}

  bool Freeze = true;
  TAdTerminalView ViewOf{1, 1, 80, 16, 8, 16, 0};
};

class TCheckingCanvas : public TAdTerminalCanvas {
 public:
  int Width = 0, Height = 0;
  void FillRect(int x, int y, int w, int h, uint32_t) override {
    FUZZ_CHECK(w >= 0 && h >= 0);
    (void)x;
    (void)y;
  }
  void DrawText(int, int, int, const char* text, int count, uint32_t) override {
    FUZZ_CHECK(count >= 0 && count <= 256);
    volatile char sum = 0;
    for (int i = 0; i < count; ++i) sum = char(sum + text[i]);  // ASan sees a bad pointer
  }
  void DrawHorzLine(int, int, int w, uint32_t) override { FUZZ_CHECK(w >= 0); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  THost host;
  host.Freeze = data[0] & 1;
  // The visible part of the grid: from 1 to 300 columns, 1 to 60 rows,
  // scrolled anywhere, even past the buffer.
  host.ViewOf.VisibleCols = 1 + data[1] % 300;
  host.ViewOf.VisibleRows = 1 + data[2] % 60;
  host.ViewOf.OriginCol = 1 + (data[1] >> 4);
  host.ViewOf.OriginRow = 1 + (data[2] >> 2);
  data += 3;
  size -= 3;

  TAdTTYEmulator emulator;
  emulator.SetTerminal(&host);
  TCheckingCanvas canvas;
  // The bytes arrive in blocks of the sizes a port delivers.
  for (size_t at = 0; at < size;) {
    const int count = int(std::min<size_t>(size - at, 1 + data[at] % 97));
    emulator.ProcessBlock(data + at, count, csPort);
    at += size_t(count);
    int row = 0, col = 0;
    emulator.GetCursorPos(row, col);
    const TAdTerminalBuffer& buffer = *emulator.Buffer();
    FUZZ_CHECK(row >= 1 && row <= buffer.RowCount());
    FUZZ_CHECK(col >= 1 && col <= buffer.ColCount() + 1);
    emulator.LazyPaint(canvas);
  }
  emulator.Paint(canvas, TAdRect{0, 0, 8 * 300, 16 * 60});
  emulator.SetTerminal(nullptr);
  return 0;
}
