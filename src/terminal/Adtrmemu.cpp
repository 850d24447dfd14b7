// The emulator base: generic screen commands, sending typed characters and
// the terminal/emulator pairs.

#include "terminal/Adtrmemu.h"

#include <cstdio>

namespace kestrel {

// ---------------------------------------------------------------------------
// Terminal/emulator pairs

TAdTerminalEmulator* LinkedEmulator(TAdTerminalHost* terminal) {
  return terminal ? terminal->LinkedEmulator_ : nullptr;
}

void UnlinkTerminal(TAdTerminalHost* terminal) {
  TAdTerminalEmulator* emulator = terminal ? terminal->LinkedEmulator_ : nullptr;
  if (!emulator) return;
  terminal->LinkedEmulator_ = nullptr;
  emulator->LinkedTerminal_ = nullptr;
  emulator->ForgetTerminal(terminal);
  terminal->EmulatorUnlinked(emulator);
}

void UnlinkEmulator(TAdTerminalEmulator* emulator) {
  // A pair is linked both ways: parting it from the terminal's side is the same.
  if (emulator) UnlinkTerminal(emulator->LinkedTerminal_);
}

void LinkTerminalEmulator(TAdTerminalHost* terminal, TAdTerminalEmulator* emulator) {
  UnlinkTerminal(terminal);
  UnlinkEmulator(emulator);
  terminal->LinkedEmulator_ = emulator;
  emulator->LinkedTerminal_ = terminal;
  emulator->teSetTerminal(terminal);
  terminal->EmulatorLinked(emulator);
}

// ---------------------------------------------------------------------------

TAdTerminalEmulator::TAdTerminalEmulator(std::unique_ptr<TAdTerminalBuffer> buffer)
    : Buffer_(std::move(buffer)) {}

TAdTerminalEmulator::~TAdTerminalEmulator() {
  if (!IsDefault_) UnlinkEmulator(this);
}

void TAdTerminalEmulator::ForgetTerminal(TAdTerminalHost* t) {
  if (Terminal_ == t) Terminal_ = nullptr;
}

bool TAdTerminalEmulator::teGetNeedsUpdate() {
  // Reading the cursor flag clears it: all three are looked at.
  const bool rects = Buffer_->HasDisplayChanged();
  const bool moved = Buffer_->HasCursorMoved();
  return rects || moved || FullRepaint_;
}

void TAdTerminalEmulator::teSetTerminal(TAdTerminalHost* t) {
  if (t == Terminal_) return;
  if (!IsDefault_ && Terminal_ && LinkedEmulator(Terminal_) == this) UnlinkEmulator(this);
  Terminal_ = t;
  if (!IsDefault_ && t && LinkedEmulator(t) != this) LinkTerminalEmulator(t, this);
}

void TAdTerminalEmulator::teClear() {
  Buffer_->EraseScreen();
}

void TAdTerminalEmulator::teClearAll() {
  Buffer_->EraseAll();
}

void TAdTerminalEmulator::teSendChar(char c, bool echo, TAdCharSource source) {
  if (!Terminal_) return;
  if (echo && Terminal_->HalfDuplex()) {
    const uint8_t byte = uint8_t(c);
    ProcessBlock(&byte, 1, source);
  }
  if (Terminal_ && Terminal_->PortIsOpen()) Terminal_->PortPutChar(c);
}

void TAdTerminalEmulator::ExecuteTerminalCommands(TAdEmuCommandList& list) {
  teProcessCommandList(list);
  if (Terminal_) Terminal_->RepaintNow();
}

void TAdTerminalEmulator::teProcessCommandList(TAdEmuCommandList& list) {
  for (int i = 0; i < list.Count(); ++i) teProcessCommand(list[i].Command, list[i].Params);
}

void TAdTerminalEmulator::teProcessCommand(TAdEmuCommand command, const TAdEmuCommandParams& p) {
  TAdTerminalBuffer& b = *Buffer_;
  TAdTerminalCharAttrs attrs;
  b.GetCharAttrs(attrs);
  // The attribute commands: add, only, remove, invert one bit.
  auto add = [&](TAdTerminalCharAttrs bit) { b.SetCharAttrs(attrs | bit); };
  auto only = [&](TAdTerminalCharAttrs bit) { b.SetCharAttrs(bit); };
  auto remove = [&](TAdTerminalCharAttrs bit) { b.SetCharAttrs(attrs & ~bit); };
  auto invert = [&](TAdTerminalCharAttrs bit) { b.SetCharAttrs(attrs ^ bit); };
  auto reply = [&](std::string_view s) {
    if (Terminal_ && Terminal_->AttachedToPort() && Terminal_->PortIsOpen())
      Terminal_->PortPutString(s);
  };

  switch (command) {
    case ecNone:
    case ecAnswerback:
      break;
    case ecBell:
      if (Terminal_) Terminal_->Beep();
      break;
    case ecBackspace:
      b.DoBackspace();
      break;
    case ecTabHorz:
      b.DoHorzTab();
      break;
    case ecLF:
      b.DoLineFeed();
      break;
    case ecCR:
      b.DoCarriageReturn();
      break;
    case ecBackTabHorz:
      b.DoBackHorzTab();
      break;
    case ecCursorDown:
      b.MoveCursorDown(p.GetBooleanValue("Scroll", 0, false));
      break;
    case ecCursorUp:
      b.MoveCursorUp(p.GetBooleanValue("Scroll", 0, false));
      break;
    case ecCursorLeft:
      b.MoveCursorLeft(p.GetBooleanValue("Wrap", 0, false), p.GetBooleanValue("Scroll", 1, false));
      break;
    case ecCursorRight:
      b.MoveCursorRight(p.GetBooleanValue("Wrap", 0, false), p.GetBooleanValue("Scroll", 1, false));
      break;
    case ecCursorPos:
      b.SetCursorPosition(p.GetIntegerValue("Row", 0, 1), p.GetIntegerValue("Col", 1, 1));
      break;
    case ecDeleteChars:
      b.DeleteChars(p.GetIntegerValue("Count", 0, 1));
      break;
    case ecDeleteLines:
      b.DeleteLines(p.GetIntegerValue("Count", 0, 1));
      break;
    case ecInsertChars:
      b.InsertChars(p.GetIntegerValue("Count", 0, 1));
      break;
    case ecInsertLines:
      b.InsertLines(p.GetIntegerValue("Count", 0, 1));
      break;
    case ecEraseChars:
      b.EraseChars(p.GetIntegerValue("Count", 0, 1));
      break;
    case ecEraseAll:
      b.EraseAll();
      break;
    case ecEraseFromBOW:
      b.EraseFromBOW();
      break;
    case ecEraseFromBOL:
      b.EraseFromBOL();
      break;
    case ecEraseLine:
      b.EraseLine();
      break;
    case ecEraseScreen:
      b.EraseScreen();
      break;
    case ecEraseToEOL:
      b.EraseToEOL();
      break;
    case ecEraseToEOW:
      b.EraseToEOW();
      break;
    case ecSetHorzTabStop:
      b.SetHorzTabStop();
      break;
    case ecClearHorzTabStop:
      b.ClearHorzTabStop();
      break;
    case ecClearAllHorzTabStops:
      b.ClearAllHorzTabStops();
      break;
    case ecSetVertTabStop:
      b.SetVertTabStop();
      break;
    case ecClearVertTabStop:
      b.ClearVertTabStop();
      break;
    case ecClearAllVertTabStops:
      b.ClearAllVertTabStops();
      break;
    case ecTabVert:
      b.DoVertTab();
      break;
    case ecBackTabVert:
      b.DoBackVertTab();
      break;
    case ecSetScrollRegion:
      b.SetScrollRegion(p.GetIntegerValue("Top", 0, 1), p.GetIntegerValue("Bottom", 1, 1));
      break;
    case ecBackColor: {
      const uint32_t c = p.GetTColorValue("Color", 0, adBlack);
      b.tbSetBackColor(c);
      if (p.GetBooleanValue("Persistent", 1, true) && Terminal_) Terminal_->SetColor(c);
      break;
    }
    case ecForeColor: {
      const uint32_t c = p.GetTColorValue("Color", 0, adSilver);
      b.tbSetForeColor(c);
      if (p.GetBooleanValue("Persistent", 1, true) && Terminal_) Terminal_->SetFontColor(c);
      break;
    }
    case ecColor: {
      const uint32_t fore = p.GetTColorValue("Fore", 0, adSilver);
      const uint32_t back = p.GetTColorValue("Back", 1, adBlack);
      b.tbSetForeColor(fore);
      b.tbSetBackColor(back);
      if (p.GetBooleanValue("Persistent", 2, true) && Terminal_) {
        Terminal_->SetFontColor(fore);
        Terminal_->SetColor(back);
      }
      break;
    }
    case ecAbsAddress:
    case ecNoAbsAddress:
      b.UseAbsAddress = command == ecAbsAddress;
      break;
    case ecAutoWrap:
    case ecNoAutoWrap:
      b.UseAutoWrap = command == ecAutoWrap;
      break;
    case ecAutoWrapDelay:
    case ecNoAutoWrapDelay:
      b.UseAutoWrapDelay = command == ecAutoWrapDelay;
      break;
    case ecInsertMode:
    case ecNoInsertMode:
      b.UseInsertMode = command == ecInsertMode;
      break;
    case ecNewLineMode:
    case ecNoNewLineMode:
      b.UseNewLineMode = command == ecNewLineMode;
      break;
    case ecScrollRegion:
    case ecNoScrollRegion:
      b.tbSetUseScrollRegion(command == ecScrollRegion);
      break;
    case ecSetCharAttr: {
      static const char* const kNames[] = {"Bold",    "Underline", "Strikethrough", "Blink",
                                           "Reverse", "Invisible", "Selected"};
      TAdTerminalCharAttrs set = 0;
      for (int i = 0; i < 7; ++i)
        if (p.GetBooleanValue(kNames[i], i, false)) set |= TAdTerminalCharAttrs(1u << i);
      b.SetCharAttrs(set);
      break;
    }
    case ecAddBold:
      add(tcaBold);
      break;
    case ecBoldOnly:
      only(tcaBold);
      break;
    case ecRemoveBold:
      remove(tcaBold);
      break;
    case ecInvertBold:
      invert(tcaBold);
      break;
    case ecAddUnderLine:
      add(tcaUnderline);
      break;
    case ecUnderlineOnly:
      only(tcaUnderline);
      break;
    case ecRemoveUnderline:
      remove(tcaUnderline);
      break;
    case ecInvertUnderline:
      invert(tcaUnderline);
      break;
    case ecAddStrikethrough:
      add(tcaStrikethrough);
      break;
    case ecStrikethroughOnly:
      only(tcaStrikethrough);
      break;
    case ecRemoveStrikethrough:
      remove(tcaStrikethrough);
      break;
    case ecInvertStrikethrough:
      invert(tcaStrikethrough);
      break;
    case ecAddBlink:
      add(tcaBlink);
      break;
    case ecBlinkOnly:
      only(tcaBlink);
      break;
    case ecRemoveBlink:
      remove(tcaBlink);
      break;
    case ecInvertBlink:
      invert(tcaBlink);
      break;
    case ecAddReverse:
      add(tcaReverse);
      break;
    case ecReverseOnly:
      only(tcaReverse);
      break;
    case ecRemoveReverse:
      remove(tcaReverse);
      break;
    case ecInvertReverse:
      invert(tcaReverse);
      break;
    case ecAddInvisible:
      add(tcaInvisible);
      break;
    case ecInvisibleOnly:
      only(tcaInvisible);
      break;
    case ecRemoveInvisible:
      remove(tcaInvisible);
      break;
    case ecInvertInvisible:
      invert(tcaInvisible);
      break;
    case ecAddSelected:
      add(tcaSelected);
      break;
    case ecRemoveSelected:
      remove(tcaSelected);
      break;
    case ecSelectedOnly:
      only(tcaSelected);
      break;
    case ecInvertSelected:
      invert(tcaSelected);
      break;
    case ecRemoveAllAttr:
      b.SetCharAttrs(0);
      break;
    case ecRemoveAllAttrIgnoreSelect:
      b.SetCharAttrs(attrs & tcaSelected);
      break;
    case ecClearAndHome:
      b.EraseScreen();
      b.SetCursorPosition(1, 1);
      break;
    case ecHome:
      b.SetCursorPosition(1, 1);
      break;
    case ecCursorEOL:
      b.SetCol(b.ColCount());
      break;
    case ecCursorBOL:
      b.SetCol(1);
      break;
    case ecCursorTop:
      b.SetRow(1);
      break;
    case ecCursorBottom:
      b.SetRow(b.RowCount());
      break;
    case ecWriteString:
      b.WriteString(p.GetStringValue("String", 0, ""));
      break;
    case ecSaveCursorPos:
      b.GetCharAttrs(Saved_.Attrs);
      Saved_.BackColor = b.BackColor();
      Saved_.CharSet = b.CharSet();
      Saved_.Col = b.Col();
      Saved_.ForeColor = b.ForeColor();
      Saved_.Row = b.Row();
      break;
    case ecRestoreCursorPos:
      b.SetCharAttrs(Saved_.Attrs);
      b.tbSetBackColor(Saved_.BackColor);
      b.tbSetCharSet(Saved_.CharSet);
      b.SetCol(Saved_.Col);
      b.tbSetForeColor(Saved_.ForeColor);
      b.SetRow(Saved_.Row);
      break;
    case ecDeviceAttributesReport: {
      const int type = p.GetIntegerValue("Type", 0, 0);
      if (type == 0) reply("\033[?1;0c");
      if (type == 52) reply("\033/Z");
      break;
    }
    case ecNEL:
      b.DoLineFeed();
      if (!b.UseNewLineMode) b.DoCarriageReturn();
      break;
    case ecReset:
      b.Reset();
      break;
    case ecDECALN: {
      const uint8_t fill = b.DefAnsiChar();
      b.tbSetDefAnsiChar('E');
      b.EraseScreen();
      b.tbSetDefAnsiChar(fill);
      break;
    }
    case ecDeviceStatusReport: {
      const int type = p.GetIntegerValue("Type", 0, 5);
      if (type == 5) reply("\033[0n");
      if (type == 6) {
        char text[32];
        std::snprintf(text, sizeof text, "\033[%d;%dR", b.Row(), b.Col());
        reply(text);
      }
      break;
    }
  }
}

}  // namespace kestrel
