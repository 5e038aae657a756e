#!/bin/sh
# Every global symbol the embedding libraries define is either the documented
# ZK_ interface or lives in the zorvik namespace; what the compiler adds for
# those (type information, vtables, guard variables, exception-handling
# references) and the weak copies of standard-library templates it
# instantiates do not clash with a host's names.
# Usage: symbols_test.sh PUBLIC_HEADER LIBRARY...
set -eu
header=$1
shift
# The ZK_ names the public header declares.
public=$(grep -o 'ZK_[A-Za-z0-9_]*' "$header" | sort -u)
status=0
for lib in "$@"; do
    [ -f "$lib" ] || { echo "FAIL: no library $lib"; exit 1; }
    # "TYPE NAME" for each defined global symbol (nm -C prints the address first;
    # archives add member headers and blank lines).
    bad=$(nm -C --defined-only -g "$lib" 2>/dev/null | sed -n 's/^[0-9a-f]* \([A-Za-z]\) \(.*\)$/\1 \2/p' |
        grep -v -E '^[A-Za-z] ZK_[A-Za-z0-9_]+(\(|$)' |
        grep -v -E '^[A-Za-z] zorvik::' |
        grep -v -E '^[A-Za-z] (typeinfo|typeinfo name|vtable|VTT|guard variable) for zorvik::' |
        grep -v -E '^[A-Za-z] DW\.ref\.' |
        grep -v -E '^[WVu] ([a-z][a-z ]* )?std::' |
        grep -v -E '^[WVu] (typeinfo|typeinfo name|vtable|guard variable) for std::' || true)
    for name in $(nm -C --defined-only -g "$lib" 2>/dev/null | sed -n 's/^[0-9a-f]* [A-Za-z] \(ZK_[A-Za-z0-9_]*\).*/\1/p' | sort -u); do
        echo "$public" | grep -qx "$name" || bad="$bad
$name is not declared in $(basename "$header")"
    done
    if [ -n "$bad" ]; then
        echo "FAIL: $lib exports names outside ZK_ and zorvik::"
        echo "$bad" | head -40
        status=1
    else
        echo "$lib: $(nm -C --defined-only -g "$lib" 2>/dev/null | grep -c ' ZK_') ZK_ symbols, the rest in zorvik::"
    fi
done
exit $status
