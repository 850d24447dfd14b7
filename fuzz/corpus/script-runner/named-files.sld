_LF /dev/ttyS0
_LA 1000
_LV 1
_LD
_LF ../fifo
_LA 1000
_LF //dir
_LF dev/null
_LA 2000
_LV DATE
_LD
_TC ""
