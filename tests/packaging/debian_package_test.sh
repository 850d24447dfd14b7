#!/usr/bin/env bash
# Builds the Debian package from the build and checks it: the files it
# holds, its version and licence, dependencies found from the binaries, the
# programs' hardening, and lintian's verdict.
#   debian_package_test.sh BUILD_DIR VERSION
set -euo pipefail
build=$1
version=$2
work=$(mktemp -d /tmp/kestrel-deb-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 ||
  fail "cpack: $(cat "$work/cpack.log")"
deb=$(ls "$work"/kestrel_*.deb)

contents=$(dpkg-deb -c "$deb")
for file in usr/bin/kestrel usr/bin/kestrel-unit-sim usr/share/applications/kestrel.desktop \
  usr/share/icons/hicolor/scalable/apps/kestrel.svg usr/share/man/man1/kestrel.1.gz \
  usr/share/man/man1/kestrel-unit-sim.1.gz usr/share/doc/kestrel/copyright \
  usr/share/doc/kestrel/README.Debian usr/share/doc/kestrel/changelog.Debian.gz \
  usr/share/kestrel/examples/demo.sld usr/share/kestrel/examples/LoaderDefault.ini; do
  grep -q " \./$file\$" <<<"$contents" || fail "$file is not in the package"
done

[ "$(dpkg-deb -f "$deb" Version)" = "$version-1" ] ||
  fail "version $(dpkg-deb -f "$deb" Version), not $version-1"

# The copyright file is machine-readable and names the licence.
dpkg-deb -x "$deb" "$work/root"
copyright="$work/root/usr/share/doc/kestrel/copyright"
head -n 1 "$copyright" | grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
  fail "the copyright file is not in the machine-readable format"
grep -q '^License: Expat' "$copyright" || fail "the copyright file names no Expat (MIT) licence"

# The programs carry no compiler notes and pass the hardening checks. A
# clang build (build/) calls no fortified function in kestrel-unit-sim:
# clang proves each of its bounded calls safe and calls the plain one, so
# that the check, which looks for the fortified ones, finds none. g++, which
# the package is built with, keeps them; there every check applies.
fortify=()
lintian_allowed='^$'
if grep -q 'CMAKE_CXX_COMPILER_ID "Clang"' "$build"/CMakeFiles/*/CMakeCXXCompiler.cmake; then
  fortify=(--nofortify)
  lintian_allowed='hardening-no-fortify-functions \[usr/bin/kestrel-unit-sim\]'
fi
for program in kestrel kestrel-unit-sim; do
  sections=$(readelf -S "$work/root/usr/bin/$program")
  ! grep -q '\.comment' <<<"$sections" || fail "$program has a .comment section"
  if command -v hardening-check >/dev/null; then
    hardening-check "${fortify[@]}" "$work/root/usr/bin/$program" || fail "hardening-check $program"
  fi
done

depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libqt6core6 libqt6widgets6 libjpeg62-turbo; do
  grep -q "$library" <<<"$depends" || fail "Depends lacks $library: $depends"
done
description=$(dpkg-deb -f "$deb" Description)
grep -q dialout <<<"$description" || fail "the description does not name dialout"

lintian --allow-root --fail-on error,warning -I "$deb" >"$work/lintian.txt" 2>&1 ||
  fail "lintian: $(cat "$work/lintian.txt")"
cat "$work/lintian.txt"
tags=$(grep 'hardening-' "$work/lintian.txt" || true)
unexpected=$(grep -v "$lintian_allowed" <<<"$tags" || true)
[ -z "$unexpected" ] || fail "lintian finds the programs not hardened: $unexpected"
echo "debian package: all checks passed"
