#pragma once
// The line settings and port number that belong to the serial port
// component `ApdComPort1`. The main window keeps them here, in one place,
// until it owns the component; every read and write goes through the
// window's port helpers.

namespace kestrel {

struct TPortSettings {
  int ComNumber = 0;
  bool Open = false;
  long Baud = 38400;
  int DataBits = 8;
  int Parity = 0;  // 0 none, 1 odd, 2 even, 3 mark, 4 space
  int StopBits = 1;
};

}  // namespace kestrel
