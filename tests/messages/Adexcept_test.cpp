#include "messages/Adexcept.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <typeindex>
#include <vector>

namespace kestrel {
namespace {

struct TestComponent : TAdComponentState {};

// Runs CheckException and hands back what it raised.
template <typename E>
E Raised(int code) {
  try {
    CheckException(nullptr, code);
  } catch (const E& e) {
    return e;
  } catch (const std::exception& other) {
    ADD_FAILURE() << code << " raised " << typeid(other).name() << ": " << other.what();
    throw;
  }
  ADD_FAILURE() << code << " raised nothing";
  throw std::logic_error("no exception");
}

struct ClassRow {
  int Code;
  std::type_index Class;
  std::function<bool(const EAPDException&)> InFamily;
  const char* Text;
};

template <typename F>
std::function<bool(const EAPDException&)> Family() {
  return [](const EAPDException& e) { return dynamic_cast<const F*>(&e) != nullptr; };
}

const std::vector<ClassRow>& ClassTable() {
  static const std::vector<ClassRow> rows = {
      {-1002, typeid(EBadArgument), Family<EGeneral>(), "Bad argument passed to function"},
      {-1003, typeid(EGotQuitMsg), Family<EGeneral>(), "Got quit message"},
      {-1004, typeid(EBufferTooBig), Family<EGeneral>(), "Terminal buffer greater than 65521"},
      {-1005, typeid(EPortNotAssigned), Family<EGeneral>(), "ComPort component not assigned"},
      {-1006, typeid(EInternal), Family<EGeneral>(), "Internal error creating window class"},
      {-1007, typeid(EModemNotAssigned), Family<EGeneral>(), "Modem component not assigned"},
      {-1008, typeid(EPhonebookNotAssigned), Family<EGeneral>(),
       "Phonebook component not assigned"},
      {-1009, typeid(ECannotUseWithWinSock), Family<EGeneral>(),
       "Component not compatible with WinSock"},
      {-2001, typeid(EBadId), Family<EOpenComm>(), "ie_BadId - Specified comport doesn't exist"},
      {-2002, typeid(EBaudRate), Family<EOpenComm>(), "ie_Baudrate - unsupported baud rate"},
      {-2003, typeid(EByteSize), Family<EOpenComm>(), "ie_Bytesize - invalid byte size"},
      {-2004, typeid(EDefault), Family<EOpenComm>(), "ie_Default - error in default parameters"},
      {-2005, typeid(EHardware), Family<EOpenComm>(), "ie_Hardware - Specified comport in use"},
      {-2006, typeid(EMemory), Family<EOpenComm>(), "ie_Memory - unable to allocate queues"},
      {-2007, typeid(ECommNotOpen), Family<EOpenComm>(), "ie_NOpen - device not open"},
      {-2008, typeid(EAlreadyOpen), Family<EOpenComm>(), "ie_Open - device already open"},
      {-2009, typeid(ENoHandles), Family<EOpenComm>(), "No more handles, can't open port"},
      {-2010, typeid(ENoTimers), Family<EOpenComm>(), "No timers available"},
      {-2011, typeid(ENoPortSelected), Family<EOpenComm>(),
       "The ComNumber property of the TApdComPort has not been set"},
      {-2012, typeid(ENotOpenedByTapi), Family<EOpenComm>(), "Comport was not opened by Tapi"},
      {-3001, typeid(ENullApi), Family<ESerialIO>(), "No device layer specified"},
      {-3003, typeid(ERegisterHandlerFailed), Family<ESerialIO>(), "EnableCommNotification failed"},
      {-3004, typeid(EPutBlockFail), Family<ESerialIO>(), "Failed to put entire block"},
      {-3005, typeid(EGetBlockFail), Family<ESerialIO>(), "Failed to get entire block"},
      {-3006, typeid(EOutputBufferTooSmall), Family<ESerialIO>(),
       "Output buffer too small for block"},
      {-3007, typeid(EBufferIsEmpty), Family<ESerialIO>(), "Buffer is empty"},
      {-3008, typeid(ETracingNotEnabled), Family<ESerialIO>(), "Tracing not enabled"},
      {-3009, typeid(ELoggingNotEnabled), Family<ESerialIO>(), "Logging not enabled"},
      {-3010, typeid(EBaseAddressNotSet), Family<ESerialIO>(), "Base address not set"},
      {-3011, typeid(EDeviceLost), Family<ESerialIO>(), "Device lost"},
      {-5001, typeid(ENoMoreTriggers), Family<ETrigger>(), "No more trigger slots"},
      {-5002, typeid(ETriggerTooLong), Family<ETrigger>(), "Data trigger too long"},
      {-5003, typeid(EBadTriggerHandle), Family<ETrigger>(), "Bad trigger handle"},
  };
  return rows;
}

TEST(CheckException, RaisesTheClassOfEveryTabledCodeWithItsText) {
  for (const ClassRow& row : ClassTable()) {
    SCOPED_TRACE(row.Code);
    const EAPDException e = [&] {
      try {
        CheckException(nullptr, row.Code);
      } catch (const EAPDException& raised) {
        EXPECT_EQ(std::type_index(typeid(raised)), row.Class);
        EXPECT_TRUE(row.InFamily(raised));
        return raised;
      }
      ADD_FAILURE() << "nothing raised";
      return EAPDException("");
    }();
    EXPECT_EQ(e.ErrorCode(), row.Code);
    EXPECT_EQ(e.Message(), row.Text);
    EXPECT_STREQ(e.what(), row.Text);
    // The text does not depend on the sign.
    EXPECT_EQ(KelpLoadStr(row.Code), row.Text);
    EXPECT_EQ(KelpLoadStr(-row.Code), row.Text);
  }
}

TEST(CheckException, ReturnsSuccessAndInformationalCodesAndAnythingWhileLoading) {
  for (const int code : {0, 1, 2001, 15001, 0x7FFFFFFF})
    EXPECT_EQ(CheckException(nullptr, code), code);

  TestComponent component;
  component.SetLoading(true);
  for (const int code : {-1, -2, -8, -87, -1001, -2011, -5003, -99999})
    EXPECT_EQ(CheckException(&component, code), code);

  component.SetLoading(false);
  EXPECT_THROW(CheckException(&component, -2011), ENoPortSelected);
}

TEST(CheckException, FileAndDeviceCodesRaiseTheInputOutputErrorWithTheirText) {
  const std::vector<std::pair<int, const char*>> rows = {
      {-2, "File not found"},
      {-3, "Path not found"},
      {-4, "Too many open files"},
      {-5, "File access denied"},
      {-6, "Invalid file handle"},
      {-15, "Invalid drive"},
      {-18, "No more files"},
      {-100, "Attempt to read beyond end of file"},
      {-101, "Disk is full"},
      {-102, "File/device not assigned"},
      {-103, "File/device not open"},
      {-104, "File/device not open for input"},
      {-105, "File/device not open for output"},
      {-150, "Disk is write-protected"},
      {-151, "Unknown disk unit"},
      {-152, "Drive is not ready"},
      {-153, "Unknown command"},
      {-154, "Data error"},
      {-155, "Bad request structure length"},
      {-156, "Seek error"},
      {-157, "Unknown media type"},
      {-158, "Disk sector not found"},
      {-159, "Printer is out of paper"},
      {-160, "Device write error"},
      {-161, "Device read error"},
      {-162, "General failure"},
  };
  for (const auto& [code, text] : rows) {
    SCOPED_TRACE(code);
    const EInOutError e = Raised<EInOutError>(code);
    EXPECT_EQ(e.ErrorCode(), -code);
    EXPECT_EQ(e.Message(), text);
  }
}

TEST(CheckException, OutOfMemoryIsNotAnInputOutputError) {
  try {
    CheckException(nullptr, ecOutOfMemory);
    FAIL() << "nothing raised";
  } catch (const EOutOfMemory& e) {
    EXPECT_EQ(e.Message(), "Out of memory");
  } catch (const EInOutError&) {
    FAIL() << "raised the input/output error";
  }
  EXPECT_EQ(KelpLoadStr(8), "Insufficient memory");
}

TEST(CheckException, UntabledSystemErrorsCarryTheSystemTextOneLine) {
  // 87 is how devices report a bad argument, whatever the platform's number.
  const EInOutError bad = Raised<EInOutError>(ecInvalidParameter);
  EXPECT_EQ(bad.ErrorCode(), 87);
  EXPECT_EQ(bad.Message(), NormaliseMessageText(std::strerror(EINVAL)));
  EXPECT_FALSE(bad.Message().empty());

  const EInOutError e7 = Raised<EInOutError>(-7);
  EXPECT_EQ(e7.ErrorCode(), 7);
  EXPECT_EQ(e7.Message(), std::strerror(7));
}

TEST(CheckException, EverythingElseIsAKelpExceptionWithoutCode) {
  for (const int code : {-1, -163, -995, -1001, -3002, -4500, -2000, -15001, -70000}) {
    SCOPED_TRACE(code);
    const EAPDException e = Raised<EAPDException>(code);
    EXPECT_EQ(std::type_index(typeid(e)), std::type_index(typeid(EAPDException)));
    EXPECT_EQ(e.Message(), "Kelp exception");
    EXPECT_EQ(e.ErrorCode(), 0);
  }
}

TEST(CheckException, WholeFamiliesCanBeCaughtAtOnce) {
  EXPECT_THROW(CheckException(nullptr, ecHardware), EOpenComm);
  EXPECT_THROW(CheckException(nullptr, ecPortNotAssigned), EGeneral);
  EXPECT_THROW(CheckException(nullptr, ecBufferIsEmpty), ESerialIO);
  EXPECT_THROW(CheckException(nullptr, ecNoMoreTriggers), ETrigger);
  EXPECT_THROW(CheckException(nullptr, ecAlreadyOpen), EAPDException);
  EXPECT_THROW(CheckException(nullptr, ecFileNotFound), Exception);
}

TEST(MessageTable, DispatchLogNames) {
  const std::vector<std::string> types = {
      "No event", "Dispatch", "Trigger",  "Error",  "Thread", "TrigAllc", "TrigDisp",
      "TrgHdAlc", "TrgHdDsp", "TrDatChg", "Telnet", "Fax",    "XModem",   "YModem",
      "ZModem",   "Kermit",   "Ascii",    "BPlus",  "Packet", "User",     "Script"};
  for (std::size_t i = 0; i < types.size(); ++i)
    EXPECT_EQ(MessageNumberToString(15001 + static_cast<int>(i)), types[i]) << i;

  const std::vector<std::string> subtypes = {
      "",      "ReadCom", "WriteCom", "Line status", "Modem status", "Avail", "Timer",
      "Data",  "Status",  "Start",    "Exit",        "Sleep",        "Wake",  "Data",
      "Timer", "Status",  "Avail",    "Window",      "Procedure",    "Method"};
  for (std::size_t i = 0; i < subtypes.size(); ++i)
    EXPECT_EQ(MessageNumberToString(15100 + static_cast<int>(i)), subtypes[i]) << i;

  const std::vector<std::string> bits = {"DCTS ", "DDSR ", "TERI ", "DDCD ",
                                         "CTS ",  "DSR ",  "RI ",   "DCD "};
  for (std::size_t i = 0; i < bits.size(); ++i)
    EXPECT_EQ(MessageNumberToString(15601 + static_cast<int>(i)), bits[i]) << i;
}

TEST(MessageTable, LogColumnHeadingsLineUp) {
  const std::string heading = MessageNumberToString(15501);
  const std::string rule = MessageNumberToString(15502);
  ASSERT_EQ(heading.size(), 53u);
  ASSERT_EQ(rule.size(), 53u);
  // Words start at character positions 1, 11, 21, 35 and 45.
  EXPECT_EQ(heading.find("Time"), 0u);
  EXPECT_EQ(heading.find("Type"), 10u);
  EXPECT_EQ(heading.find("SubType"), 20u);
  EXPECT_EQ(heading.find("Data"), 34u);
  EXPECT_EQ(heading.find("OtherData"), 44u);
  EXPECT_EQ(rule, std::string(8, '-') + "  " + std::string(8, '-') + "  " + std::string(12, '-') +
                      "  " + std::string(8, '-') + "  " + std::string(9, '-'));
}

TEST(MessageTable, LookupIsBySixteenBitMagnitude) {
  EXPECT_EQ(MessageNumberToString(0), "OK");
  EXPECT_EQ(MessageNumberToString(-2001), MessageNumberToString(2001));
  EXPECT_EQ(MessageNumberToString(2001 + 65536), MessageNumberToString(2001));
  EXPECT_EQ(MessageNumberToString(-32768), "");
  // Codes without a row: neighbours of rows, unused families.
  for (const int code : {1, 7, 1000, 1010, 2013, 4500, 15120, 15609, 32767})
    EXPECT_EQ(MessageNumberToString(code), "") << code;
}

TEST(KelpLoadStr, FallsBackToTheSystemTextAndElseNothing) {
  EXPECT_EQ(KelpLoadStr(-22), std::strerror(22));
  EXPECT_EQ(KelpLoadStr(87), KelpLoadStr(-87));
  EXPECT_EQ(KelpLoadStr(995), "");
  EXPECT_EQ(KelpLoadStr(4500), "");
  EXPECT_EQ(ErrorMsg(-2005), KelpLoadStr(-2005));
}

TEST(KelpLoadStr, NormalisesSystemTexts) {
  EXPECT_EQ(NormaliseMessageText("Access\r\n is\tdenied.\r\n"), "Access is denied. ");
  EXPECT_EQ(NormaliseMessageText("a    b"), "a b");
  EXPECT_EQ(NormaliseMessageText("caf\xc3\xa9"), "caf\xc3\xa9");  // 8-bit text passes
}

TEST(KelpLoadZ, CopiesZeroTerminatedWithinTheBuffer) {
  char big[256];
  std::memset(big, 'x', sizeof big);
  EXPECT_EQ(KelpLoadZ(big, -2010), big);
  EXPECT_STREQ(big, "No timers available");

  char small[8];
  std::memset(small, 'x', sizeof small);
  KelpLoadZ(small, -2010);
  EXPECT_STREQ(small, "No time");

  char untouched = 'x';
  KelpLoadZ(&untouched, 0, -2010);
  EXPECT_EQ(untouched, 'x');
}

TEST(EAPDException, TextConstructorHasNoCode) {
  const EAPDException e("Port busy");
  EXPECT_EQ(e.ErrorCode(), 0);
  EXPECT_EQ(e.Message(), "Port busy");
  const EBadId coded(ecBadId);
  EXPECT_EQ(coded.ErrorCode(), ecBadId);
  EXPECT_EQ(coded.Message(), "ie_BadId - Specified comport doesn't exist");
}

}  // namespace
}  // namespace kestrel
