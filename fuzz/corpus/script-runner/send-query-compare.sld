_SC "VER^M"
_QC "VER"
_CS "FUZZ" _SC "ok"
_CE "x" _DM "no"
