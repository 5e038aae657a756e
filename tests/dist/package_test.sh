#!/bin/sh
# Unpacks the Debian package into a temporary root and runs the packaged
# interpreter there, with its packaged library, from another directory; then
# builds and runs the embedding example against the packaged library.
# Usage: package_test.sh PACKAGE.deb SOURCE_DIR
set -eu
deb=$(cd "$(dirname "$1")" && pwd)/$(basename "$1") source=$2  # the package by its full path: the test changes directory
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
# The licence and the changes where Debian keeps them.
doc=$root/usr/share/doc/zorvik
grep -q 'MIT' "$doc/copyright" && grep -q 'The zorvik developers' "$doc/copyright" || fail "no MIT copyright file"
gzip -t "$doc/changelog.gz" 2>/dev/null || fail "no gzipped changelog"
version=$(dpkg-deb -f "$deb" Version)
gzip -dc "$doc/changelog.gz" | grep -q "^## $version\$" || fail "the changelog does not name version $version"
# The Vim files where Vim finds them by default; a headless Vim with that
# directory in place of the system's detects and highlights a script.
vimfiles=$root/usr/share/vim/vimfiles
for f in syntax ftdetect ftplugin; do
    [ -f "$vimfiles/$f/zorvik.vim" ] || fail "no $f/zorvik.vim in /usr/share/vim/vimfiles"
done
if command -v vim >/dev/null && vim --version | grep -q '+syntax'; then
    printf 's = 1;\n' >"$root/probe.z"
    vim -Es -N -u NONE -i NONE -c "set runtimepath^=$vimfiles" -c 'filetype plugin on' -c 'syntax on' \
        -c "edit $root/probe.z" -c "call writefile([&filetype . ' ' . get(b:, 'current_syntax', '')], '$root/vim.out')" \
        -c 'qall!' </dev/null || true
    [ "$(cat "$root/vim.out" 2>/dev/null)" = 'zorvik zorvik' ] || fail "Vim does not pick up the packaged files"
fi
cd "$root"
for example in hello fibonacci records; do
    "$zorvik" "$root/usr/share/doc/zorvik/examples/$example.z" |
        cmp -s - "$source/examples/$example.out" || fail "packaged example $example.z"
done
[ "$("$zorvik" "$source/tests/dist/uses_library.z")" = 'LIBRARY 7' ] || fail "library lookup"
# A host built against the packaged embedding library and headers.
cmake -S "$source/examples/embed" -B "$root/host" -DCMAKE_PREFIX_PATH="$root/usr" \
    -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" >"$root/host.log" 2>&1 &&
    cmake --build "$root/host" >>"$root/host.log" 2>&1 || { cat "$root/host.log"; fail "embedding example"; }
"$root/host/host" "$source/examples/embed/" | cmp -s - "$source/examples/embed/host.out" || fail "embedding example output"
# The shared library under its major version, announced to hosts' packages
# (shlibs) and to ldconfig, and the pkg-config file: a host built with the
# compiler and pkg-config alone loads the packaged libzorvik.so.1.
dpkg-deb -I "$deb" shlibs | grep -q "^libzorvik 1 zorvik (>= $version)" || fail "no shlibs entry for libzorvik.so.1"
dpkg-deb -I "$deb" postinst | grep -q ldconfig || fail "installing does not run ldconfig"
pc=$(find "$root/usr" -path '*/pkgconfig/zorvik.pc')
[ -n "$pc" ] || fail "no pkgconfig/zorvik.pc"
if command -v pkg-config >/dev/null; then
    PKG_CONFIG_PATH=$(dirname "$pc")
    export PKG_CONFIG_PATH
    libdir=$(pkg-config --variable=libdir zorvik)
    [ -f "$libdir/libzorvik.a" ] && [ -L "$libdir/libzorvik.so" ] || fail "libzorvik.a and libzorvik.so are not both in $libdir"
    # shellcheck disable=SC2046 # the flags are words
    c++ -std=c++20 -pthread $(pkg-config --cflags zorvik) \
        -DZORVIK_SCRIPT_LIBRARY_DIR="\"$(pkg-config --variable=scriptlibdir zorvik)\"" \
        "$source/examples/embed/host.cpp" -o "$root/host-shared" $(pkg-config --libs zorvik) -Wl,-rpath,"$libdir" ||
        fail "embedding example through pkg-config"
    readelf -d "$root/host-shared" | grep -q 'NEEDED.*\[libzorvik.so.1\]' || fail "the host does not load libzorvik.so.1"
    "$root/host-shared" "$source/examples/embed/" | cmp -s - "$source/examples/embed/host.out" ||
        fail "embedding example through pkg-config: output"
fi
echo "package $(basename "$deb"): ok"
