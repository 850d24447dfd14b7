#!/usr/bin/env bash
# Runs one benchmark with --quick, as the suite does: it fails when the
# program ends with a non-zero status or prints none of its "name: value"
# figures. The figures are shown, never judged.
#   run-quick.sh PROGRAM
set -uo pipefail
program=$1
output=$("$program" --quick)
status=$?
printf '%s\n' "$output"
if [ "$status" -ne 0 ]; then
  echo "FAIL: ${program##*/} --quick ended with status $status" >&2
  exit 1
fi
if ! grep -Eq '^[a-z][a-z0-9_]*: -?[0-9]' <<<"$output"; then
  echo "FAIL: ${program##*/} --quick printed none of its figures" >&2
  exit 1
fi
