#!/bin/sh
# Installs the build into a temporary prefix, builds examples/embed against
# that installation alone and runs the host: two scripts in one process, a
# native of the host's own with a context, the scripts' output, input and
# error report through the host's callbacks, results read back.
#   cmake       find_package(zorvik), zorvik::zorvik (libzorvik.a)
#   pkg-config  the compiler alone with `pkg-config --cflags --libs zorvik`,
#               which links libzorvik.so; its SONAME carries the major
#               version and the host records that name (skipped, status 77,
#               without pkg-config)
# Usage: embed_test.sh cmake|pkg-config CMAKE BUILD_DIR SOURCE_DIR CXX [SANITIZER_FLAGS]
set -eu
mode=$1 cmake=$2 build=$3 source=$4 cxx=$5 sanitize=${6:-}
if [ "$mode" = pkg-config ] && ! command -v pkg-config >/dev/null; then
    echo "pkg-config is not installed: skipped"
    exit 77
fi
fail() { echo "FAIL: $*"; exit 1; }
work=$(mktemp -d /tmp/zorvik-embed-XXXXXX)
trap 'rm -rf "$work"' EXIT
"$cmake" --install "$build" --prefix "$work/prefix" >/dev/null
if [ "$mode" = cmake ]; then
    "$cmake" -S "$source/examples/embed" -B "$work/host" -DCMAKE_PREFIX_PATH="$work/prefix" \
        -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror $sanitize" \
        -DCMAKE_EXE_LINKER_FLAGS="$sanitize" >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; exit 1; }
    "$cmake" --build "$work/host" >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
else
    pc=$(find "$work/prefix" -path '*/pkgconfig/zorvik.pc')
    [ -n "$pc" ] || fail "no pkgconfig/zorvik.pc is installed"
    PKG_CONFIG_PATH=$(dirname "$pc")
    export PKG_CONFIG_PATH
    libdir=$(pkg-config --variable=libdir zorvik)
    major=$(pkg-config --modversion zorvik | cut -d. -f1)
    soname=$(readelf -d "$libdir/libzorvik.so" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
    [ "$soname" = "libzorvik.so.$major" ] || fail "libzorvik.so has the SONAME '$soname'"
    [ -f "$libdir/libzorvik.a" ] || fail "libzorvik.a is not beside libzorvik.so"
    mkdir "$work/host"
    # shellcheck disable=SC2046 # the flags are words
    "$cxx" -std=c++20 -Wall -Wextra -Werror $sanitize -pthread $(pkg-config --cflags zorvik) \
        -DZORVIK_SCRIPT_LIBRARY_DIR="\"$(pkg-config --variable=scriptlibdir zorvik)\"" \
        "$source/examples/embed/host.cpp" -o "$work/host/host" $(pkg-config --libs zorvik) \
        -Wl,-rpath,"$libdir" >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
    readelf -d "$work/host/host" | grep -q "NEEDED.*\[libzorvik.so.$major\]" ||
        fail "the host does not load libzorvik.so.$major"
fi
cd "$work"
"$work/host/host" "$source/examples/embed/" >"$work/out" || { cat "$work/out"; fail "host exited with $?"; }
diff "$source/examples/embed/host.out" "$work/out" || fail "host output differs"
echo "embedding example against the installed package ($mode): ok"
