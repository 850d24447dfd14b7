; every command
  _TC "LOADR^M"
_SC "A^MB"
_DM "note^Mline"
_DY 10
_LP 2
_LC "LF"
_PC ">"
_QC "VER^M"
_CE "X\r" _SC "Y"
_CS "Z" _LD
_LF a.bin
_LA 8000
_LV date
_LD
_LA 1
_XX
x;_SC "c"
_SC "no end