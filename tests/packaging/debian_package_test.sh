#!/usr/bin/env bash
# Builds the Debian package from the build and checks it: the files it
# holds, dependencies found from the binaries, and lintian's verdict.
#   debian_package_test.sh BUILD_DIR
set -euo pipefail
build=$1
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
  usr/share/doc/kestrel/README.Debian usr/share/doc/kestrel/examples/demo.sld; do
  grep -q " \./$file\$" <<<"$contents" || fail "$file is not in the package"
done

depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libqt6core6 libqt6widgets6 libjpeg62-turbo; do
  grep -q "$library" <<<"$depends" || fail "Depends lacks $library: $depends"
done
description=$(dpkg-deb -f "$deb" Description)
grep -q dialout <<<"$description" || fail "the description does not name dialout"

lintian --allow-root --fail-on error,warning "$deb" || fail "lintian"
echo "debian package: all checks passed"
