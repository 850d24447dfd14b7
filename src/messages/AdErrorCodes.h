#pragma once
// Result codes of the serial side: 0 success, negative errors. An operating-
// system error number n travels as -n.

namespace kestrel {

inline constexpr int ecOK = 0;

// File and device errors (operating-system numbers, negated).
inline constexpr int ecFileNotFound = -2;
inline constexpr int ecPathNotFound = -3;
inline constexpr int ecTooManyFiles = -4;
inline constexpr int ecAccessDenied = -5;
inline constexpr int ecInvalidHandle = -6;
inline constexpr int ecOutOfMemory = -8;
inline constexpr int ecInvalidDrive = -15;
inline constexpr int ecNoMoreFiles = -18;
inline constexpr int ecInvalidParameter = -87;
inline constexpr int ecDiskRead = -100;
inline constexpr int ecDiskFull = -101;
inline constexpr int ecNotAssigned = -102;
inline constexpr int ecNotOpen = -103;
inline constexpr int ecNotOpenInput = -104;
inline constexpr int ecNotOpenOutput = -105;
inline constexpr int ecWriteProtected = -150;
inline constexpr int ecUnknownUnit = -151;
inline constexpr int ecDriveNotReady = -152;
inline constexpr int ecUnknownCommand = -153;
inline constexpr int ecCrcError = -154;
inline constexpr int ecBadStructLen = -155;
inline constexpr int ecSeekError = -156;
inline constexpr int ecUnknownMedia = -157;
inline constexpr int ecSectorNotFound = -158;
inline constexpr int ecOutOfPaper = -159;
inline constexpr int ecDeviceWrite = -160;
inline constexpr int ecDeviceRead = -161;
inline constexpr int ecHardwareFailure = -162;

// General component errors.
inline constexpr int ecBadHandle = -1001;
inline constexpr int ecBadArgument = -1002;
inline constexpr int ecGotQuitMsg = -1003;
inline constexpr int ecBufferTooBig = -1004;
inline constexpr int ecPortNotAssigned = -1005;
inline constexpr int ecInternal = -1006;
inline constexpr int ecModemNotAssigned = -1007;
inline constexpr int ecPhonebookNotAssigned = -1008;
inline constexpr int ecCannotUseWithWinSock = -1009;

// Errors opening a port.
inline constexpr int ecBadId = -2001;
inline constexpr int ecBaudRate = -2002;
inline constexpr int ecByteSize = -2003;
inline constexpr int ecDefault = -2004;
inline constexpr int ecHardware = -2005;
inline constexpr int ecMemory = -2006;
inline constexpr int ecCommNotOpen = -2007;
inline constexpr int ecAlreadyOpen = -2008;
inline constexpr int ecNoHandles = -2009;
inline constexpr int ecNoTimers = -2010;
inline constexpr int ecNoPortSelected = -2011;
inline constexpr int ecNotOpenedByTapi = -2012;

// Serial input/output and device-layer errors.
inline constexpr int ecNullApi = -3001;
inline constexpr int ecNotSupported = -3002;
inline constexpr int ecRegisterHandlerFailed = -3003;
inline constexpr int ecPutBlockFail = -3004;
inline constexpr int ecGetBlockFail = -3005;
inline constexpr int ecOutputBufferTooSmall = -3006;
inline constexpr int ecBufferIsEmpty = -3007;
inline constexpr int ecTracingNotEnabled = -3008;
inline constexpr int ecLoggingNotEnabled = -3009;
inline constexpr int ecBaseAddressNotSet = -3010;
inline constexpr int ecDeviceLost = -3011;  // the device went away while the port was open

// Trigger errors.
inline constexpr int ecNoMoreTriggers = -5001;
inline constexpr int ecTriggerTooLong = -5002;
inline constexpr int ecBadTriggerHandle = -5003;

}  // namespace kestrel
