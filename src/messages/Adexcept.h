#pragma once
// Exceptions of the serial side, the message texts of the result codes and
// the one check that turns a negative result into an exception.
//
// Thread contract: everything here may be used from any thread. The message
// table is constant data and operating-system texts come from strerror_r.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <typeinfo>

#include "messages/AdErrorCodes.h"

namespace kestrel {

// Longest message text handed out, in bytes.
inline constexpr std::size_t MaxMessageLen = 255;

// The framework's base exception: a message text.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : Message_(std::move(message)) {}
  const std::string& Message() const noexcept { return Message_; }
  const char* what() const noexcept override { return Message_.c_str(); }

 private:
  std::string Message_;
};

// The framework's input/output error: a message and the error number.
class EInOutError : public Exception {
 public:
  EInOutError(std::string message, int errorCode)
      : Exception(std::move(message)), ErrorCode_(errorCode) {}
  int ErrorCode() const noexcept { return ErrorCode_; }

 private:
  int ErrorCode_;
};

// The framework's out-of-memory failure.
class EOutOfMemory : public Exception {
 public:
  EOutOfMemory() : Exception("Out of memory") {}
};

// Root of everything the serial side raises.
class EAPDException : public Exception {
 public:
  // ErrorCode = code; the message is the text of the code.
  explicit EAPDException(int code);
  // ErrorCode = 0; the message is the given text.
  explicit EAPDException(std::string text) : Exception(std::move(text)), ErrorCode_(0) {}
  explicit EAPDException(const char* text) : EAPDException(std::string(text)) {}

  int32_t ErrorCode() const noexcept { return ErrorCode_; }

 private:
  int32_t ErrorCode_;
};

#define KESTREL_APD_EXCEPTION(Name, Base) \
  class Name : public Base {              \
   public:                                \
    using Base::Base;                     \
  }

// The families. A handler may catch a whole family through one of these.
KESTREL_APD_EXCEPTION(EGeneral, EAPDException);
KESTREL_APD_EXCEPTION(EOpenComm, EAPDException);
KESTREL_APD_EXCEPTION(ESerialIO, EAPDException);
KESTREL_APD_EXCEPTION(EModem, EAPDException);
KESTREL_APD_EXCEPTION(ETrigger, EAPDException);
KESTREL_APD_EXCEPTION(EPacket, EAPDException);
KESTREL_APD_EXCEPTION(EProtocol, EAPDException);
KESTREL_APD_EXCEPTION(EINI, EAPDException);
KESTREL_APD_EXCEPTION(EFax, EAPDException);
KESTREL_APD_EXCEPTION(ETapi, EAPDException);
KESTREL_APD_EXCEPTION(ERas, EAPDException);
KESTREL_APD_EXCEPTION(EAdTerminal, EAPDException);
KESTREL_APD_EXCEPTION(EXML, EAPDException);
KESTREL_APD_EXCEPTION(EStateMachine, EAPDException);

// General component errors (-1002 .. -1009).
KESTREL_APD_EXCEPTION(EBadArgument, EGeneral);
KESTREL_APD_EXCEPTION(EGotQuitMsg, EGeneral);
KESTREL_APD_EXCEPTION(EBufferTooBig, EGeneral);
KESTREL_APD_EXCEPTION(EPortNotAssigned, EGeneral);
KESTREL_APD_EXCEPTION(EInternal, EGeneral);
KESTREL_APD_EXCEPTION(EModemNotAssigned, EGeneral);
KESTREL_APD_EXCEPTION(EPhonebookNotAssigned, EGeneral);
KESTREL_APD_EXCEPTION(ECannotUseWithWinSock, EGeneral);

// Errors opening a port (-2001 .. -2012).
KESTREL_APD_EXCEPTION(EBadId, EOpenComm);
KESTREL_APD_EXCEPTION(EBaudRate, EOpenComm);
KESTREL_APD_EXCEPTION(EByteSize, EOpenComm);
KESTREL_APD_EXCEPTION(EDefault, EOpenComm);
KESTREL_APD_EXCEPTION(EHardware, EOpenComm);
KESTREL_APD_EXCEPTION(EMemory, EOpenComm);
KESTREL_APD_EXCEPTION(ECommNotOpen, EOpenComm);
KESTREL_APD_EXCEPTION(EAlreadyOpen, EOpenComm);
KESTREL_APD_EXCEPTION(ENoHandles, EOpenComm);
KESTREL_APD_EXCEPTION(ENoTimers, EOpenComm);
KESTREL_APD_EXCEPTION(ENoPortSelected, EOpenComm);
KESTREL_APD_EXCEPTION(ENotOpenedByTapi, EOpenComm);

// Serial input/output and device-layer errors (-3001 .. -3010, not -3002).
KESTREL_APD_EXCEPTION(ENullApi, ESerialIO);
KESTREL_APD_EXCEPTION(ERegisterHandlerFailed, ESerialIO);
KESTREL_APD_EXCEPTION(EPutBlockFail, ESerialIO);
KESTREL_APD_EXCEPTION(EGetBlockFail, ESerialIO);
KESTREL_APD_EXCEPTION(EOutputBufferTooSmall, ESerialIO);
KESTREL_APD_EXCEPTION(EBufferIsEmpty, ESerialIO);
KESTREL_APD_EXCEPTION(ETracingNotEnabled, ESerialIO);
KESTREL_APD_EXCEPTION(ELoggingNotEnabled, ESerialIO);
KESTREL_APD_EXCEPTION(EBaseAddressNotSet, ESerialIO);
KESTREL_APD_EXCEPTION(EDeviceLost, ESerialIO);

// Trigger errors (-5001 .. -5003).
KESTREL_APD_EXCEPTION(ENoMoreTriggers, ETrigger);
KESTREL_APD_EXCEPTION(ETriggerTooLong, ETrigger);
KESTREL_APD_EXCEPTION(EBadTriggerHandle, ETrigger);

// Terminal errors.
KESTREL_APD_EXCEPTION(EAdTermRangeError, EAdTerminal);
KESTREL_APD_EXCEPTION(EAdTermInvalidParameter, EAdTerminal);
KESTREL_APD_EXCEPTION(EAdTermTooLarge, EAdTerminal);

#undef KESTREL_APD_EXCEPTION

// What the check needs to know of a component: whether it is still being
// built from its form description, when results are not raised.
// Thread contract: window thread only.
class TAdComponentState {
 public:
  bool Loading() const noexcept { return Loading_; }
  void SetLoading(bool loading) noexcept { Loading_ = loading; }

 protected:
  ~TAdComponentState() = default;

 private:
  bool Loading_ = false;
};

// The message-table text of a code (taken as a signed 16-bit number, sign
// ignored), or an empty text.
std::string MessageNumberToString(int code);

// The message of a code, at most MaxMessageLen bytes: the message-table
// text, else the operating system's text for error number |code|, else empty.
std::string KelpLoadStr(int code);
std::string ErrorMsg(int code);

// Copies KelpLoadStr(code) into buffer (at most size - 1 bytes and a zero)
// and returns buffer. Nothing is written when size is 0.
char* KelpLoadZ(char* buffer, std::size_t size, int code);
template <std::size_t N>
char* KelpLoadZ(char (&buffer)[N], int code) {
  return KelpLoadZ(buffer, N, code);
}

// The string identifier of a code for an exception class: |code|.
int MapCodeToStringID(const std::type_info& exceptionClass, int code);

// An operating-system text made fit for one line: characters below 32
// become blanks and every run of blanks becomes one blank.
std::string NormaliseMessageText(std::string_view text);

// Returns code when it is 0 or positive, or while component is loading
// (nullptr: not loading); otherwise raises exactly one exception for it.
int CheckException(const TAdComponentState* component, int code);

}  // namespace kestrel
