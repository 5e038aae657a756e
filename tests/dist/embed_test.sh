#!/bin/sh
# Installs the build into a temporary prefix, builds examples/embed against
# that installation alone (find_package(zorvik), zorvik::zorvik, the installed
# headers) and runs the host: two scripts in one process, a native of the
# host's own, results read back.
# Usage: embed_test.sh CMAKE BUILD_DIR SOURCE_DIR CXX [SANITIZER_FLAGS]
set -eu
cmake=$1 build=$2 source=$3 cxx=$4 sanitize=${5:-}
work=$(mktemp -d /tmp/zorvik-embed-XXXXXX)
trap 'rm -rf "$work"' EXIT
"$cmake" --install "$build" --prefix "$work/prefix" >/dev/null
"$cmake" -S "$source/examples/embed" -B "$work/host" -DCMAKE_PREFIX_PATH="$work/prefix" \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror $sanitize" \
    -DCMAKE_EXE_LINKER_FLAGS="$sanitize" >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; exit 1; }
"$cmake" --build "$work/host" >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
cd "$work"
"$work/host/host" "$source/examples/embed/" >"$work/out" || { cat "$work/out"; echo "FAIL: host exited with $?"; exit 1; }
diff "$source/examples/embed/host.out" "$work/out" || { echo "FAIL: host output differs"; exit 1; }
echo "embedding example against the installed package: ok"
