#!/bin/sh
# Unpacks the Debian package into a temporary root and runs the packaged
# interpreter there, with its packaged library, from another directory.
# Usage: package_test.sh PACKAGE.deb SOURCE_DIR
set -eu
deb=$1 source=$2
fail() { echo "FAIL: $*"; exit 1; }
case $(basename "$deb") in
    zorvik_*_*.deb) ;;
    *) fail "package file name $(basename "$deb") is not zorvik_<version>_<arch>.deb" ;;
esac
[ "$(dpkg-deb -f "$deb" Package)" = zorvik ] || fail "package name"
dpkg-deb -f "$deb" Maintainer | grep -q . || fail "no maintainer"
dpkg-deb -f "$deb" Depends | grep -q 'libc6' || fail "dependencies do not name libc6"
root=$(mktemp -d /tmp/zorvik-deb-XXXXXX)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"
zorvik=$root/usr/bin/zorvik
[ -f "$root/usr/share/zorvik/lib/sys.z" ] || fail "no script library under /usr/share/zorvik/lib"
[ -f "$root/usr/share/man/man1/zorvik.1" ] || fail "no manual page"
cd "$root"
for example in hello fibonacci records; do
    "$zorvik" "$root/usr/share/doc/zorvik/examples/$example.z" |
        cmp -s - "$source/examples/$example.out" || fail "packaged example $example.z"
done
[ "$("$zorvik" "$source/tests/dist/uses_library.z")" = 'LIBRARY 7' ] || fail "library lookup"
echo "package $(basename "$deb"): ok"
