#!/bin/sh
# Installs the build into a temporary prefix and checks the layout of a Unix
# program: the interpreter finds its script library relative to itself, from
# any working directory, through a link, and after the tree has moved.
# Usage: install_test.sh CMAKE BUILD_DIR SOURCE_DIR
set -eu
cmake=$1 build=$2 source=$3
work=$(mktemp -d /tmp/zorvik-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
"$cmake" --install "$build" --prefix "$prefix" >/dev/null

fail() { echo "FAIL: $*"; exit 1; }
for f in bin/zorvik share/zorvik/lib/sys.z share/zorvik/lib/file.z share/man/man1/zorvik.1 \
         share/doc/zorvik/README.md share/doc/zorvik/language.md share/doc/zorvik/library/sys.md \
         share/doc/zorvik/examples/hello.z share/doc/zorvik/examples/hello.out \
         share/zorvik/editors/vscode/package.json share/zorvik/editors/vim/syntax/zorvik.vim \
         share/doc/zorvik/copyright share/doc/zorvik/changelog.gz share/vim/vimfiles/ftdetect/zorvik.vim; do
    [ -f "$prefix/$f" ] || fail "$f is not installed"
done
[ ! -e "$prefix/bin/lib" ] || fail "bin/lib is installed"
# The public header stands alone: nothing else of the sources is installed.
headers=$(cd "$prefix/include" && find . -type f | sort)
[ "$headers" = "./zorvik/zorvik.h" ] || fail "installed headers: $headers"
[ ! -e "$prefix/share/doc/zorvik/zorvik.1.in" ] || fail "the man page template is installed"

expected='LIBRARY 7'
script=$source/tests/dist/uses_library.z
check() {  # what, output
    [ "$2" = "$expected" ] || fail "$1: got '$2'"
}
mkdir "$work/elsewhere"
cd "$work/elsewhere"
check "absolute script path" "$("$prefix/bin/zorvik" "$script")"
cd "$source/tests/dist"
check "script in the working directory" "$("$prefix/bin/zorvik" uses_library.z)"
cd "$work/elsewhere"
ln -s "$prefix/bin/zorvik" "$work/elsewhere/zk"
check "through a symbolic link" "$(./zk "$script")"
mv "$prefix" "$work/moved"
check "after moving the tree" "$("$work/moved/bin/zorvik" "$script")"
cd "$work/moved/share/doc/zorvik/examples"
"$work/moved/bin/zorvik" hello.z | cmp -s - hello.out || fail "installed example hello.z"
echo "install layout and library lookup: ok"
