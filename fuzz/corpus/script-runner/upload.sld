_TC "^M"
_LF a.bin
_LA 8000
_LV 1.0
_LD
_LP 2
_DY 5
