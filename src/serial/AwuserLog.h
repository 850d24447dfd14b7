#pragma once
// The dispatch log: the most recent internal events of a dispatcher (device
// reads and writes, trigger firings, trigger and handler changes, notes)
// with their time and attached bytes, kept in a ring of bytes and written
// as a table.

#include <cstdint>
#include <memory>
#include <string>

namespace kestrel {

// Entry types and subtypes the serial side records.
enum TDispatchType : uint8_t {
  dtNone = 0,
  dtDispatch = 1,
  dtTrigger = 2,
  dtError = 3,
  dtThread = 4,
  dtTriggerAlloc = 5,
  dtTriggerDispose = 6,
  dtTriggerHandlerAlloc = 7,
  dtTriggerHandlerDispose = 8,
  dtTriggerDataChange = 9,
  dtUser = 19,
};

enum TDispatchSubType : uint8_t {
  dstNone = 0,
  dstReadCom = 1,
  dstWriteCom = 2,
  dstLineStatus = 3,
  dstModemStatus = 4,
  dstAvail = 5,
  dstTimer = 6,
  dstData = 7,
  dstStatus = 8,
  dstDataTrigger = 13,
  dstTimerTrigger = 14,
  dstStatusTrigger = 15,
  dstAvailTrigger = 16,
  dstWndHandler = 17,
  dstProcHandler = 18,
  dstEventHandler = 19,
};

// Thread contract: the dispatcher calls it under its main lock.
class TApdDispatchLog {
 public:
  static constexpr uint32_t MaxSize = 16000000;
  // type, subtype, two reserved bytes, time, data value, attached length
  static constexpr uint32_t HeaderSize = 16;

  // Throws std::bad_alloc when the store cannot be had.
  explicit TApdDispatchLog(uint32_t size);

  bool Recording = false;

  void Clear();
  bool Empty() const { return Free_ == Size_; }
  // Adds an entry, dropping the oldest ones until it fits. Attached bytes
  // that would not fit in the whole store are left out; an entry whose
  // header alone would not fit is not recorded.
  void Push(uint8_t type, uint8_t subType, uint32_t time, uint32_t data, const void* attached,
            uint32_t length);
  // Writes the header lines and every entry, oldest first; 0 or a negative
  // result code of the file.
  int Write(const std::string& file, bool hex, bool allHex, bool append,
            const std::string& device) const;

 private:
  void Put(const uint8_t* bytes, uint32_t length);
  void Get(uint32_t offset, uint8_t* bytes, uint32_t length) const;
  uint32_t EntrySizeAt(uint32_t offset) const;

  std::unique_ptr<uint8_t[]> Store_;
  uint32_t Size_;
  uint32_t Write_ = 0;
  uint32_t Read_ = 0;
  uint32_t Free_;
};

}  // namespace kestrel
