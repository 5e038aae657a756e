#!/bin/sh
# Every global symbol the embedding libraries define is either the documented
# ZK_ interface or lives in the zorvik namespace. Allowed besides: what the
# compiler adds for those (type information, vtables, guard variables,
# exception-handling references), and the weak copies of standard-library
# templates and inline functions (std::, __gnu_cxx::, placement new) that the
# linker merges with a host's. The check reads the mangled names, whose
# first component says exactly which namespace a symbol is in.
# Usage: symbols_test.sh PUBLIC_HEADER LIBRARY...
set -eu
header=$1
shift
# The ZK_ names the public header declares.
public=$(grep -o 'ZK_[A-Za-z0-9_]*' "$header" | sort -u)
status=0
for lib in "$@"; do
    [ -f "$lib" ] || { echo "FAIL: no library $lib"; exit 1; }
    # "TYPE NAME" for each defined global symbol (archives add member headers).
    symbols=$(nm --defined-only -g "$lib" 2>/dev/null | sed -n 's/^[0-9a-f]* \([A-Za-z]\) \(.*\)$/\1 \2/p')
    bad=$(echo "$symbols" |
        grep -v -E '^[A-Za-z] _Z[0-9]+ZK_' |
        grep -v -E '^[A-Za-z] _Z(Z|T[IVSTHW]|GV|GR)*N?K?6zorvik' |
        grep -v -E '^[A-Za-z] DW\.ref\.' |
        grep -v -E '^[A-Za-z] __odr_asan\._ZN6zorvik' |
        grep -v -E '^[WVu] _Z(Z|T[IVS]|GV)*N?[KRO]*(S[tabsiod]|9__gnu_cxx)' |
        grep -v -E '^[WVu] _Z(nw|na|dl|da)' || true)
    # Each global ZK_ function is one the public header declares.
    for name in $(nm -C --defined-only -g "$lib" 2>/dev/null |
        sed -n 's/^[0-9a-f]* [A-Za-z] \(ZK_[A-Za-z0-9_]*\)(.*/\1/p' | sort -u); do
        echo "$public" | grep -qx "$name" || bad="$bad
$name is not declared in $(basename "$header")"
    done
    if [ -n "$bad" ]; then
        echo "FAIL: $lib exports names outside ZK_ and zorvik::"
        echo "$bad" | c++filt | head -40
        status=1
    else
        echo "$lib: $(echo "$symbols" | grep -c ' _Z[0-9]*ZK_') ZK_ symbols, the rest in zorvik::"
    fi
done
exit $status
