#pragma once
// Emulators: TAdTerminalEmulator, the common base that runs generic screen
// commands, and TAdTTYEmulator, a plain teletype (printable bytes shown, five
// control characters obeyed). An emulator owns its screen buffer, reaches its
// terminal window through TAdTerminalHost and paints through TAdTerminalCanvas,
// so nothing here depends on a window system.
//
// Thread contract: window thread only.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "terminal/AdtrmCmd.h"
#include "terminal/Adtrmbuf.h"

namespace kestrel {

enum TAdCharSource { csUnknown = 0, csKeyboard = 1, csPort = 2, csWriteChar = 3 };

// Shift state of a key stroke.
using TAdShiftState = uint8_t;
inline constexpr TAdShiftState ssShift = 0x01;
inline constexpr TAdShiftState ssAlt = 0x02;
inline constexpr TAdShiftState ssCtrl = 0x04;

// Where the drawing goes: the terminal window on screen, or an image.
// Coordinates are pixels from the grid's top-left corner.
class TAdTerminalCanvas {
 public:
  virtual void FillRect(int x, int y, int width, int height, uint32_t color) = 0;
  // One character per cellWidth pixels from x, in the terminal's font.
  virtual void DrawText(int x, int y, int cellWidth, const char* text, int count,
                        uint32_t color) = 0;
  virtual void DrawHorzLine(int x, int y, int width, uint32_t color) = 0;

 protected:
  ~TAdTerminalCanvas() = default;
};

// The part of the terminal window an emulator sees.
struct TAdTerminalView {
  int OriginCol = 1;  // first column shown
  int OriginRow = 1;  // first buffer row shown, absolute numbering
  int VisibleCols = 0;
  int VisibleRows = 0;
  int CellWidth = 1;
  int CellHeight = 1;
  int VertScrollPos = 0;
};

class TAdTerminalEmulator;

class TAdTerminalHost {
 public:
  virtual uint32_t Color() const = 0;  // background
  virtual void SetColor(uint32_t color) = 0;
  virtual uint32_t FontColor() const = 0;
  virtual void SetFontColor(uint32_t color) = 0;
  virtual bool HalfDuplex() const = 0;
  virtual bool FreezeScrollBack() const = 0;
  virtual TAdTerminalView View() const = 0;
  // The port, when there is one and it is open.
  virtual bool PortIsOpen() const = 0;
  virtual void PortPutChar(char c) = 0;
  virtual void PortPutString(std::string_view s) = 0;
  // This terminal is the one the port's attached-terminal record names.
  virtual bool AttachedToPort() const = 0;
  virtual void Beep() = 0;
  virtual void RepaintNow() = 0;
  // The buffer's cursor moved (installed by the emulator on its buffer).
  virtual void CursorMoved(TAdTerminalBuffer* buffer, int row, int col) = 0;
  // Rows top .. bottom (absolute numbering) of the buffer scrolled by count
  // (installed by the emulator on its buffer, like CursorMoved).
  virtual void RowsScrolled(TAdTerminalBuffer* buffer, int count, int top, int bottom) {}
  // LinkTerminalEmulator or an unlink paired or unpaired this host and an
  // emulator.
  virtual void EmulatorLinked(TAdTerminalEmulator* emulator) = 0;
  virtual void EmulatorUnlinked(TAdTerminalEmulator* emulator) = 0;

 protected:
  ~TAdTerminalHost() = default;

 private:
  friend void LinkTerminalEmulator(TAdTerminalHost*, TAdTerminalEmulator*);
  friend void UnlinkTerminal(TAdTerminalHost*);
  friend void UnlinkEmulator(TAdTerminalEmulator*);
  friend TAdTerminalEmulator* LinkedEmulator(TAdTerminalHost*);
  TAdTerminalEmulator* LinkedEmulator_ = nullptr;  // the pair this host is in
};

using TAdOnProcessChar =
    std::function<void(TAdTerminalEmulator* Sender, char Character, std::string& ReplaceWith,
                       TAdEmuCommandList& Commands, TAdCharSource CharSource)>;

class TAdTerminalEmulator {
 public:
  virtual ~TAdTerminalEmulator();
  TAdTerminalEmulator(const TAdTerminalEmulator&) = delete;
  TAdTerminalEmulator& operator=(const TAdTerminalEmulator&) = delete;

  TAdTerminalBuffer* Buffer() const { return Buffer_.get(); }
  bool IsDefault() const { return IsDefault_; }
  // Marks the emulator a window creates for itself; it is never linked to
  // a terminal.
  void SetIsDefault(bool v) { IsDefault_ = v; }
  TAdTerminalHost* Terminal() const { return Terminal_; }
  void SetTerminal(TAdTerminalHost* t) { teSetTerminal(t); }
  bool NeedsUpdate() { return teGetNeedsUpdate(); }

  TAdOnProcessChar OnProcessChar;

  virtual bool teGetNeedsUpdate();
  virtual void teSetTerminal(TAdTerminalHost* t);
  virtual void teClear();
  virtual void teClearAll();
  virtual void teSendChar(char c, bool echo, TAdCharSource source);
  virtual void BlinkPaint(TAdTerminalCanvas& canvas, bool phase) {}
  virtual bool HasBlinkingText() { return false; }
  virtual void KeyDown(uint16_t& key, TAdShiftState shift) {}
  virtual void KeyPress(char& key) {}
  virtual void LazyPaint(TAdTerminalCanvas& canvas) {}
  // clip: pixel rectangle of the grid to draw, right and bottom exclusive.
  virtual void Paint(TAdTerminalCanvas& canvas, const TAdRect& clip) {}
  virtual void ProcessBlock(const uint8_t* bytes, int count, TAdCharSource source) {}
  virtual void GetCursorPos(int& row, int& col) {}

  void ExecuteTerminalCommands(TAdEmuCommandList& list);

  // The host is going away (or dropped this emulator): forget it without
  // telling it.
  void ForgetTerminal(TAdTerminalHost* t);

 protected:
  explicit TAdTerminalEmulator(std::unique_ptr<TAdTerminalBuffer> buffer);

  void teProcessCommandList(TAdEmuCommandList& list);
  void teProcessCommand(TAdEmuCommand command, const TAdEmuCommandParams& params);

  bool FullRepaint_ = false;
  TAdEmuCommandList CommandList_;

 private:
  friend void LinkTerminalEmulator(TAdTerminalHost*, TAdTerminalEmulator*);
  friend void UnlinkTerminal(TAdTerminalHost*);
  friend void UnlinkEmulator(TAdTerminalEmulator*);

  std::unique_ptr<TAdTerminalBuffer> Buffer_;
  bool IsDefault_ = false;
  TAdTerminalHost* Terminal_ = nullptr;
  TAdTerminalHost* LinkedTerminal_ = nullptr;  // the pair this emulator is in
  struct {
    TAdTerminalCharAttrs Attrs = 0;
    uint32_t BackColor = adBlack;
    uint8_t CharSet = 0;
    int Col = 1;
    uint32_t ForeColor = adSilver;
    int Row = 1;
  } Saved_;
};

// Pairs of terminals and non-default emulators, kept by the two objects of
// each pair: a terminal has at most one emulator and an emulator serves at
// most one terminal; linking one pair breaks the old links of both.
void LinkTerminalEmulator(TAdTerminalHost* terminal, TAdTerminalEmulator* emulator);
void UnlinkTerminal(TAdTerminalHost* terminal);
void UnlinkEmulator(TAdTerminalEmulator* emulator);
TAdTerminalEmulator* LinkedEmulator(TAdTerminalHost* terminal);

class TAdTTYEmulator : public TAdTerminalEmulator {
 public:
  static constexpr int MaxPaintCols = 255;

  TAdTTYEmulator();

  void KeyPress(char& key) override;
  void LazyPaint(TAdTerminalCanvas& canvas) override;
  void Paint(TAdTerminalCanvas& canvas, const TAdRect& clip) override;
  void ProcessBlock(const uint8_t* bytes, int count, TAdCharSource source) override;
  void GetCursorPos(int& row, int& col) override;

 private:
  void ProcessChar(uint8_t c);
  void SyncColors();
  void DrawRows(TAdTerminalCanvas& canvas, const TAdTerminalView& view, int firstRow, int lastRow,
                int firstCol, int lastCol);
  void DrawRow(TAdTerminalCanvas& canvas, const TAdTerminalView& view, int row, int firstCol,
               int lastCol);

  std::string ReplaceWith_;
  char Text_[256] = {};
};

}  // namespace kestrel
