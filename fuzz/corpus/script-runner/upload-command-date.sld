_PC "!"
_LC "UP"
_LF b.bin
_LA FFFF0000
_LV date
_LD
_LF missing.bin
_LA 1
_LD
