; Kestrel demo script: loads two files into the unit.
; Lines starting with ";" are comments; a command line starts with "_".

; Bring the unit into its loader mode: send LOADR and a carriage return and
; expect the loader prompt ">" (Kestrel retries on its own if need be).
_TC "LOADR^M"

; Ask the unit who it is and check the answer. The simulated unit writes
; flash quickly, so a short pause after each upload is enough for it.
_QC "VER"
_CS "SIMULATED UNIT" _LP 1

; The firmware image, at load address 8000, version 1.0A.
_LF firmware.bin
_LA 8000
_LV 1.0a
_LD

; The settings text, at 1F0000; its version is the file's date and time.
_LF settings.txt
_LA 1F0000
_LV DATE
_LD
