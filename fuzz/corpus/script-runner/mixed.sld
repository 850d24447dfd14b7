; comment

_SC "a^Mb"
  _XX
_DM "note"
_DY 99999999999999
_TC "LOADR"
