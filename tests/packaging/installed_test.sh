#!/usr/bin/env bash
# Installs the build into a scratch prefix and runs from there what a user
# meets first: the programs' --help and --version, the manual pages, the
# desktop entry, and the example files checked by the installed program.
#   installed_test.sh BUILD_DIR VERSION
set -euo pipefail
build=$1
version=$2
prefix=$(mktemp -d /tmp/kestrel-installed-XXXXXX)
trap 'rm -rf "$prefix"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

cmake --install "$build" --prefix "$prefix" >/dev/null
for file in bin/kestrel bin/kestrel-unit-sim share/applications/kestrel.desktop \
  share/icons/hicolor/scalable/apps/kestrel.svg share/man/man1/kestrel.1.gz \
  share/man/man1/kestrel-unit-sim.1.gz share/kestrel/examples/LoaderDefault.ini \
  share/kestrel/examples/demo.sld; do
  [ -f "$prefix/$file" ] || fail "$file is not installed"
done

# Read whole before searching: grep -q leaving early would cut the pipe.
help=$("$prefix/bin/kestrel" --help) || fail "kestrel --help ended with $?"
grep -q -- "--batch SCRIPT" <<<"$help" || fail "kestrel --help"
help=$("$prefix/bin/kestrel-unit-sim" --help) || fail "kestrel-unit-sim --help ended with $?"
grep -q -- "flash-ms=N" <<<"$help" || fail "kestrel-unit-sim --help"

output=$("$prefix/bin/kestrel" --version 2>&1) || fail "kestrel --version ended with $?: $output"
grep -q -- "$version" <<<"$output" || fail "kestrel --version does not say $version: $output"

# Each page formats without a warning and has the sections a reader looks for.
for page in kestrel kestrel-unit-sim; do
  text=$(MANWIDTH=80 MANPAGER=cat man --warnings -l "$prefix/share/man/man1/$page.1.gz" 2>"$prefix/warnings")
  [ ! -s "$prefix/warnings" ] || fail "man $page: $(cat "$prefix/warnings")"
  for section in NAME SYNOPSIS OPTIONS "EXIT STATUS" FILES EXAMPLES; do
    grep -q "^$section" <<<"$text" || fail "man $page has no $section"
  done
done

desktop-file-validate "$prefix/share/applications/kestrel.desktop" || fail "desktop entry"
grep -qx "Exec=kestrel" "$prefix/share/applications/kestrel.desktop" || fail "desktop entry Exec"

# The examples are complete: the installed program finds nothing to report.
cp -r "$prefix/share/kestrel/examples" "$prefix/demo"
(cd "$prefix/demo" && KESTREL_COM1=/nonexistent/kestrel-test-com1 \
  KESTREL_COM2=/nonexistent/kestrel-test-com2 "$prefix/bin/kestrel" --check demo.sld >/dev/null) ||
  fail "kestrel --check on the installed examples"
echo "installed: all checks passed"
