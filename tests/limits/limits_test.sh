#!/usr/bin/env bash
# Scripts under an address-space limit: limits_test.sh <case> <zorvik>
# Memory exhaustion ends the run with the usual report after the output
# printed so far; deep nesting ends in "Nesting too deep" whatever stack the
# interpreter thread could get. (Not for sanitizer builds: their shadow
# memory needs more address space than any such limit allows.)
set -u
case_name=$1
zorvik=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 2
failures=0

# expect <what> <expected output> <limit in KiB> <script>
expect() {
    out=$(ulimit -v "$3"; "$zorvik" "$4" 2>/dev/null)
    status=$?
    if [ "$out" != "$2" ] || [ "$status" != 1 ]; then
        printf 'FAIL %s (status %s)\n--- expected ---\n%s\n--- actual ---\n%s\n--- end ---\n' "$1" "$status" "$2" "$out"
        failures=$((failures + 1))
    fi
}

# matches <what> <limit in KiB> <script> <pattern>...: the output matches one pattern
matches() {
    out=$(ulimit -v "$2"; "$zorvik" "$3" 2>/dev/null)
    local pattern
    for pattern in "${@:4}"; do
        # shellcheck disable=SC2053
        [[ $out == $pattern ]] && return
    done
    printf 'FAIL %s under %s KiB: %s\n' "$1" "$2" "$out"
    failures=$((failures + 1))
}

case_memory() {
    # A small limit is reached soon: each case fills less memory.
    local limit=150000
    printf 's := import("sys.z");\ns.wln("before");\nt = "x";\nwhile (1) { t += t; }\n' > double.z
    expect "doubling a string" "before
ERROR (double.z:4:19) Out of memory" "$limit" double.z

    printf 's := import("sys.z");\ns.wln("before");\ni = 0;\nwhile (1) { a[i] = i; i++; }\n' > grow.z
    expect "growing an array" "before
ERROR (grow.z:4:18) Out of memory" "$limit" grow.z

    # Each pass hangs a member below the last one: a chain millions deep.
    printf 's := import("sys.z");\ns.wln("before");\nx = 0; c ref x;\n%s\n' \
        'while (1) { c.n = 1; unref d; d ref c.n; unref c; c ref d; }' > chain.z
    # Which store of the pass runs out moves with what else the process has
    # mapped (its path, its environment, the libraries linked).
    matches "a deep member chain" "$limit" chain.z "before
ERROR (chain.z:4:*) Out of memory"

    printf 's := import("sys.z");\ns.wln("before");\nt = "x";\nf = function (v) { return v + v; };\n%s\n' \
        'while (1) { t = f(t); }' > call.z
    # Whether the join or the copy of the result fails first depends on the
    # limit: this one leaves room for the join.
    expect "doubling through calls" "before
ERROR (call.z:4:32) Out of memory" 400000 call.z

    # Memory runs out in the middle of deep copies: what was half copied is
    # freed again. Copies share their strings, so the record grows by its
    # members instead: it holds two copies of what it was, tripling each pass.
    printf 's := import("sys.z");\ns.wln("before");\ni = 0; t = "member";\n%s\n' \
        'while (1) { a[i] = t; a[i].m = i; c.x ref a[i]; b := a; a.l := b; a.r := b; c := a[i]; i++; }' > copy.z
    matches "copying a growing record" 40000 copy.z "before
ERROR (copy.z:4:*) Out of memory"

    expect "an endless script" "ERROR (/dev/zero:0:0) Out of memory" "$limit" /dev/zero

    head -c 10000000 /dev/zero | tr '\0' ';' > big.z
    expect "a 10 MB script" "ERROR (big.z:0:0) Out of memory" "$limit" big.z

    # A generated script (2.2 MB, 950,000 tokens: data as code and simple
    # statements) runs to its end in 50 MB; it used to need over 400 MB.
    # (Under a limit near its need, whether malloc gets an arena of its own
    # decides, so the limit leaves room.)
    { printf 's := import("sys.z");\nx = 0;\n'
      seq 0 49999 | awk '{ printf "x = x + 1; t.k%d = \"v\"; a[%d] = %d;\n", $1, $1, $1 }'
      printf 's.wln(x + sizeof(t) + sizeof(a));\n'; } > generated.z
    out=$(ulimit -v 300000; "$zorvik" generated.z 2>&1)
    if [ "$out" != 150000 ]; then
        printf 'FAIL a big generated script under 300000 KiB: %s\n' "$out"
        failures=$((failures + 1))
    fi

    # The same interpreter runs normally again once memory is available.
    printf 's := import("sys.z");\ns.wln("fine");\nexit(1);\n' > fine.z
    expect "an ordinary run under the limit" "fine" "$limit" fine.z
}

case_depth() {
    printf 'f = function (n) { return this(n + 1); };\nf(0);\n' > recurse.z
    printf 'x = %s1%s;\n' "$(printf '(%.0s' $(seq 60000))" "$(printf ')%.0s' $(seq 60000))" > parens.z
    # Where a smaller stack is all there is, nesting ends sooner, but with a report.
    for limit in 1000000 400000 100000 20000; do
        matches "recursion" "$limit" recurse.z "ERROR (recurse.z:1:*) Nesting too deep" \
            "ERROR (recurse.z:1:*) Out of memory"
        matches "parentheses" "$limit" parens.z "ERROR (parens.z:1:*) Nesting too deep" \
            "ERROR (parens.z:0:0) Out of memory"
    done
}

"case_$case_name"
exit $((failures > 0))
