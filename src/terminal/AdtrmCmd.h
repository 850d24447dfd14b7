#pragma once
// Emulator command lists: the generic screen commands an emulator (or an
// OnProcessChar handler) asks for, each with parameters found by name or,
// failing that, by position.
//
// Thread contract: single thread (the terminal window's).

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace kestrel {

enum TAdEmuCommand {
  ecNone,
  ecBell,
  ecBackspace,
  ecTabHorz,
  ecLF,
  ecCR,
  ecBackTabHorz,
  ecCursorDown,
  ecCursorUp,
  ecCursorLeft,
  ecCursorRight,
  ecCursorPos,
  ecDeleteChars,
  ecDeleteLines,
  ecInsertChars,
  ecInsertLines,
  ecEraseChars,
  ecEraseAll,
  ecEraseFromBOW,
  ecEraseFromBOL,
  ecEraseLine,
  ecEraseScreen,
  ecEraseToEOL,
  ecEraseToEOW,
  ecSetHorzTabStop,
  ecClearHorzTabStop,
  ecClearAllHorzTabStops,
  ecSetVertTabStop,
  ecClearVertTabStop,
  ecClearAllVertTabStops,
  ecTabVert,
  ecBackTabVert,
  ecSetScrollRegion,
  ecBackColor,
  ecForeColor,
  ecColor,
  ecAbsAddress,
  ecNoAbsAddress,
  ecAutoWrap,
  ecNoAutoWrap,
  ecAutoWrapDelay,
  ecNoAutoWrapDelay,
  ecInsertMode,
  ecNoInsertMode,
  ecNewLineMode,
  ecNoNewLineMode,
  ecScrollRegion,
  ecNoScrollRegion,
  ecSetCharAttr,
  ecAddBold,
  ecBoldOnly,
  ecRemoveBold,
  ecInvertBold,
  ecAddUnderLine,
  ecUnderlineOnly,
  ecRemoveUnderline,
  ecInvertUnderline,
  ecAddStrikethrough,
  ecStrikethroughOnly,
  ecRemoveStrikethrough,
  ecInvertStrikethrough,
  ecAddBlink,
  ecBlinkOnly,
  ecRemoveBlink,
  ecInvertBlink,
  ecAddReverse,
  ecReverseOnly,
  ecRemoveReverse,
  ecInvertReverse,
  ecAddInvisible,
  ecInvisibleOnly,
  ecRemoveInvisible,
  ecInvertInvisible,
  ecAddSelected,
  ecRemoveSelected,
  ecSelectedOnly,
  ecInvertSelected,
  ecRemoveAllAttr,
  ecRemoveAllAttrIgnoreSelect,
  ecClearAndHome,
  ecHome,
  ecCursorEOL,
  ecCursorBOL,
  ecCursorTop,
  ecCursorBottom,
  ecWriteString,
  ecSaveCursorPos,
  ecRestoreCursorPos,
  ecDeviceAttributesReport,
  ecNEL,
  ecReset,
  ecAnswerback,
  ecDECALN,
  ecDeviceStatusReport,
};

struct TAdEmuCommandParamsItem {
  std::string Name;
  std::string Value;
};

class TAdEmuCommandParams {
 public:
  int Count() const { return int(Items_.size()); }
  const TAdEmuCommandParamsItem& operator[](int i) const { return Items_[size_t(i)]; }
  void Add(std::string name, std::string value) {
    Items_.push_back({std::move(name), std::move(value)});
  }
  // Index of the parameter with exactly this name, or -1.
  int FindName(const std::string& name) const;

  // By name, else by position, else the default; values that do not
  // convert give the default too.
  bool GetBooleanValue(const std::string& name, int position, bool def) const;
  int GetIntegerValue(const std::string& name, int position, int def) const;
  std::string GetStringValue(const std::string& name, int position, const std::string& def) const;
  uint32_t GetTColorValue(const std::string& name, int position, uint32_t def) const;

 private:
  const std::string* Lookup(const std::string& name, int position) const;
  std::vector<TAdEmuCommandParamsItem> Items_;
};

class TAdEmuCommandListItem {
 public:
  explicit TAdEmuCommandListItem(TAdEmuCommand command) : Command(command) {}
  TAdEmuCommand Command;
  TAdEmuCommandParams Params;

  void AddBooleanArg(bool v) { AddNamedBooleanArg("", v); }
  void AddIntegerArg(int v) { AddNamedIntegerArg("", v); }
  void AddStringArg(const std::string& v) { AddNamedStringArg("", v); }
  void AddTColorArg(uint32_t v) { AddNamedTColorArg("", v); }
  void AddNamedBooleanArg(const std::string& name, bool v) {
    Params.Add(name, v ? "TRUE" : "FALSE");
  }
  void AddNamedIntegerArg(const std::string& name, int v) { Params.Add(name, std::to_string(v)); }
  void AddNamedStringArg(const std::string& name, const std::string& v) { Params.Add(name, v); }
  void AddNamedTColorArg(const std::string& name, uint32_t v) {
    Params.Add(name, std::to_string(v));
  }
};

class TAdEmuCommandList {
 public:
  // The item stays valid until the list is cleared.
  TAdEmuCommandListItem& AddCommand(TAdEmuCommand command) { return Items_.emplace_back(command); }
  int Count() const { return int(Items_.size()); }
  TAdEmuCommandListItem& operator[](int i) { return Items_[size_t(i)]; }
  void Clear() { Items_.clear(); }

 private:
  std::deque<TAdEmuCommandListItem> Items_;
};

}  // namespace kestrel
