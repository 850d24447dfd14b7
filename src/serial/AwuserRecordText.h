#pragma once
// What the trace and the dispatch log share when they write their files:
// the file itself, the result code of a failed file operation, and bytes
// written as text in columns that wrap at 78.

#include <cstdint>
#include <cstdio>
#include <string>

namespace kestrel {

// A file operation's errno as a result code: a missing folder -3, too many
// open files -4, denied or read-only -5, no memory -8, disk full -101,
// anything else minus its errno.
int ApdFileResult(int err);

// The text file a recorder writes. Thread contract: one thread at a time.
class TApdRecordFile {
 public:
  // Appends to an existing file when asked (on a new line), else creates or
  // truncates it.
  TApdRecordFile(const std::string& name, bool append);
  ~TApdRecordFile();
  TApdRecordFile(const TApdRecordFile&) = delete;
  TApdRecordFile& operator=(const TApdRecordFile&) = delete;

  // 0 when the file is open, else the result code of the failed open.
  int OpenResult() const { return OpenResult_; }
  void Write(const char* text, size_t length);
  void Write(const std::string& text) { Write(text.data(), text.size()); }
  void Put(char c) { Write(&c, 1); }
  // Closes the file: 0, or the result code of the first failed write.
  int Close();

 private:
  std::FILE* File_ = nullptr;
  int OpenResult_ = 0;
  int WriteError_ = 0;
};

// Writes recorded bytes one item at a time. Before an item the column count
// grows by its width; past column 78 a line end (and the indent) comes
// first and the count restarts at the item's width.
class TApdByteColumns {
 public:
  static constexpr int LastColumn = 78;

  TApdByteColumns(TApdRecordFile& file, int startColumn, int indent)
      : File_(file), Column_(startColumn), Indent_(indent) {}

  // A recorded byte: with allHex always "[XX]"; otherwise a printable byte
  // (from 32, or from 33 when hex is set, to 126) as itself, else "[XX]"
  // with hex or "[n]" in decimal without.
  void Byte(uint8_t byte, bool hex, bool allHex);
  // A byte written as itself, whatever it is.
  void Plain(uint8_t byte);
  void Restart(int column) { Column_ = column; }

 private:
  void Item(const char* text, size_t length, int width);

  TApdRecordFile& File_;
  int Column_;
  int Indent_;
};

}  // namespace kestrel
