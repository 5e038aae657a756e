#!/usr/bin/env bash
# Command-line tests: cli_tests.sh <case> <zorvik> <version> <script library dir>
# Each case runs the interpreter as a user's shell would and checks standard
# output, standard error and the process status.
set -u
case_name=$1
zorvik=$2
version=$3
libdir=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 2
failures=0

# check <what> <expected> <actual>
check() {
    if [ "$2" != "$3" ]; then
        printf 'FAIL %s\n--- expected ---\n%s\n--- actual ---\n%s\n--- end ---\n' "$1" "$2" "$3"
        failures=$((failures + 1))
    fi
}

# run <args...>: sets out, err and status
run() {
    out=$("$zorvik" "$@" 2>"$work/.err")
    status=$?
    err=$(cat "$work/.err")
}

case_status() {
    printf 's := import("sys.z");\ns.wln("ran");\n' > ok.z
    run ok.z
    check "normal end: output" "ran" "$out"
    check "normal end: status" 0 "$status"
    check "normal end: standard error" "" "$err"

    printf 's := import("sys.z");\ns.wln("before");\nx = ;\n' > bad.z
    run bad.z
    check "error: output unchanged" "before
ERROR (bad.z:3:5) Unexpected character" "$out"
    check "error: status" 1 "$status"

    run no/such.z extra args
    check "missing script: output" 'ERROR (no/such.z:0:0) Could not open "no/such.z"' "$out"
    check "missing script: status" 1 "$status"
    check "missing script: nothing to quote" "" "$err"

    printf 'exit(3, "bye");\n' > three.z
    run three.z
    check "exit(3, message): output" "bye" "$out"
    check "exit(3, message): status" 3 "$status"
    check "exit(3, message): standard error" "" "$err"

    run
    check "usage line" "zorvik <source file>" "$out"
    check "usage status" 1 "$status"
}

case_error_context() {
    # A wrong argument to a library function, three calls deep.
    cat > deep.z <<'EOF'
s := import("sys.z");
st := import("string.z");
inner = function (x) {
    extern st;
	return st.upper(x);
};
middle = function (x) { extern inner; return inner(x); };
outer = function (x) { extern middle; return middle(x); };
s.wln(outer(5));
EOF
    run deep.z
    check "library error: status" 1 "$status"
    # The report names the line of string.z that reaches the native function;
    # standard error quotes that line, then the calls, the first one made by
    # the user's own code marked and quoted.
    local where line col quoted
    where=$(printf '%s\n' "$out" | sed -n 's/^ERROR (string\.z:\([0-9]*\):\([0-9]*\)) upper expected string as parameter$/\1 \2/p')
    read -r line col <<<"$where"
    if [ -z "$where" ]; then
        check "library error: report line" "ERROR (string.z:<line>:<col>) upper expected string as parameter" "$out"
        return
    fi
    quoted=$(sed -n "${line}p" "$libdir/string.z")
    check "library error: standard error" "  $quoted
  $(printf '%*s' $((col - 1)) '')^
  called from deep.z:5:9  <-- your code
    	return st.upper(x);
    	       ^
  called from deep.z:7:46
  called from deep.z:8:46
  called from deep.z:9:7" "$err"

    # An error in the script itself: the line and the caret; a call through
    # a method and an index is located at the start of its name.
    cat > own.z <<'EOF'
o.list[0].f = function (n) { return n + "x"; };
k = 0;
y = o.list[k].f(1);
EOF
    run own.z
    check "own error: report" 'ERROR (own.z:1:44) + is undefined between numbers and strings' "$out"
    check "own error: standard error" '  o.list[0].f = function (n) { return n + "x"; };
                                             ^
  called from own.z:3:5' "$err"

    # Imports in progress are listed; a recursion shares one line per call
    # site, and at most 20 lines of calls are shown.
    printf 'function () {\n    r = nosuch + 1;\n}\n' > _broken.z
    cat > chain.z <<'EOF'
f = function (n) { if (n > 0) { return this(n - 1); } x := import("_broken.z"); };
f(3);
EOF
    run chain.z
    check "import chain: standard error" '      r = nosuch + 1;
                 ^
  hint: nosuch is undefined
  imported from chain.z:1:60
  called from chain.z:1:40 (3 times)
  called from chain.z:2:1' "$err"

    {
        for i in $(seq 1 30); do
            printf 'f%d = function () { extern f%d; f%d(); };\n' "$i" $((i + 1)) $((i + 1))
        done
        printf 'f31 = function () { x = nosuch + 1; };\nf1();\n'
    } > many.z
    run many.z
    check "long chain: 20 call lines, then the count left out" "24 called from many.z:30:
called from many.z:11:
... 11 more" "$(printf '%s\n' "$err" | wc -l) $(printf '%s\n' "$err" | sed -n '4p' | grep -o 'called from many.z:[0-9]*:')
$(printf '%s\n' "$err" | sed -n '23p' | grep -o 'called from many.z:[0-9]*:')
$(printf '%s\n' "$err" | tail -1 | sed 's/^ *//')"
}

# hint <code> <report line> <hint line, "" for none>: the report and the
# status stay as without hints; the hint is one line of the context.
hint() {
    run -e "$1"
    check "report of $1" "$2" "$out"
    check "status of $1" 1 "$status"
    check "hint for $1" "$3" "$(printf '%s\n' "$err" | grep '^  hint: ' | sed 's/^  hint: //')"
}

case_hints() {
    hint 'f(1);' 'ERROR ((command line):1:3) Variable is not a function' 'f is undefined'
    hint 'o.m = 2; o.list[1].m(2);' 'ERROR ((command line):1:22) Variable is not a function' 'o.list[1].m is undefined'
    hint 'f = 3; f(1);' 'ERROR ((command line):1:10) Variable is not a function' 'f holds a number, not a function'
    hint 'k = 1; y = k + nosuch * 2;' 'ERROR ((command line):1:25) * is undefined for undefined' 'nosuch is undefined'
    hint 'k = 1; y = k + l.a;' 'ERROR ((command line):1:19) + is undefined between numbers and undefined' 'l.a is undefined'
    # A defined name beside the undefined operand is not blamed.
    hint 'l[3] = 1; i = 2; k = 3; y = l[i] * k;' 'ERROR ((command line):1:36) * is undefined for undefined' ''
    hint 'f = function (x) { return x + 1; }; f();' 'ERROR ((command line):1:29) + is undefined for undefined' 'x is undefined'

    # A function reads a name that only exists as a global.
    local forgot='g is a global; did you forget `extern g;`?'
    hint 'g = 5; f = function () { return 1 + g; }; f();' \
        'ERROR ((command line):1:38) + is undefined between numbers and undefined' "$forgot"
    hint 'g = 1; f = function () { g++; }; f();' 'ERROR ((command line):1:27) ++ is undefined for undefined' "$forgot"
    hint 'g = 5; f = function () { if (g < 1) { } }; f();' \
        'ERROR ((command line):1:32) < is undefined for undefined' "$forgot"
    hint 'g.x = 1; f = function () { g.x(); }; f();' 'ERROR ((command line):1:32) Variable is not a function' "$forgot"
    hint 's := import("sys.z"); f = function () { s.wln("x"); }; f();' \
        'ERROR ((command line):1:47) Variable is not a function' 's is a global; did you forget `extern s;`?'
    hint 'g = 5; f = function () { extern g; return g.h + 1; }; f();' \
        'ERROR ((command line):1:47) + is undefined for undefined' 'g.h is undefined'

    # A comparison outside a condition.
    hint 'x = 1 < 2;' 'ERROR ((command line):1:7) Missing ;' '`<` compares only in the condition of an if, while or do'
    hint 'y = 1; x = y <> 2;' 'ERROR ((command line):1:14) Missing ;' '`<>` compares only in the condition of an if, while or do'
    hint 'x = (1 >= 2);' 'ERROR ((command line):1:8) Missing )' '`>=` compares only in the condition of an if, while or do'
    hint 'x = 1 and 2;' 'ERROR ((command line):1:7) Missing ;' '`and` works only in the condition of an if, while or do'
    hint 'x = 1; if (x < 2 < 3) { }' 'ERROR ((command line):1:18) Missing )' ''
    hint 'x = = 1;' 'ERROR ((command line):1:5) Unexpected character' ''

    # Errors inside the script library give no hint.
    run -e 's := import("string.z"); s.upper(5);'
    check "no hint inside the library" "" "$(printf '%s\n' "$err" | grep 'hint:')"
}

case_options() {
    run --help
    check "--help: status" 0 "$status"
    local option
    for option in "-I DIR" "-e CODE" "  - " "--  " "-h, --help" "-v, --version"; do
        case "$out" in
            *"$option"*) ;;
            *) check "--help lists $option" "$option" "$out" ;;
        esac
    done
    local help=$out
    run -h
    check "-h is --help" "$help" "$out"

    run --version
    check "--version" "zorvik $version" "$out"
    check "--version: status" 0 "$status"
    run -v
    check "-v" "zorvik $version" "$out"

    mkdir -p sub
    printf 'function () { t.name = "beside"; return t; }\n' > _near.z
    run -e 's := import("sys.z"); n := import("_near.z"); s.wln(n.name + " " + s.path()); x = ;' a
    check "-e: imports from the working directory and the library" "beside 
ERROR ((command line):1:83) Unexpected character" "$out"
    check "-e: error status" 1 "$status"

    run -e 'exit(7);'
    check "-e: exit status" 7 "$status"

    out=$(printf 's := import("sys.z");\na := s.args();\ns.wln(a[0] + s.rln());\n' | "$zorvik" - one 2>"$work/.err")
    status=$?
    check "- : the script from standard input" "one" "$out"
    check "- : status" 0 "$status"

    printf 's := import("sys.z");\ns.wln("dash");\n' > -x.z
    run -- -x.z
    check "-- : a script whose name starts with -" "dash" "$out"
    run -x.z
    check "-x.z without -- is an option: status" 2 "$status"

    run --frobnicate script.z
    check "unknown option: status" 2 "$status"
    check "unknown option: nothing on standard output" "" "$out"
    check "unknown option: message" "zorvik: unknown option '--frobnicate'
Try 'zorvik --help' for more information." "$err"
    run -e
    check "-e without code: status" 2 "$status"
}

case_program() {
    # A script run as a program: shebang, arguments, environment.
    printf '#!%s\ns := import("sys.z");\na := s.args();\ns.wln(tostring(a) + " " + a[0] + "|" + a[1]);\ns.wln(s.getenv("ZK_TEST_GREETING"));\nu = s.getenv("ZK_TEST_UNSET");\nif (not defined(u)) { s.wln("unset"); }\nx = ;\n' "$zorvik" > tool.z
    chmod +x tool.z
    out=$(ZK_TEST_GREETING="hi there" ./tool.z first "second arg" 2>/dev/null)
    status=$?
    check "shebang, args, getenv; line numbers count the #! line" "2 first|second arg
hi there
unset
ERROR (./tool.z:8:5) Unexpected character" "$out"
    check "shebang script: status" 1 "$status"
    run -e 's := import("sys.z"); a := s.args(); s.wln(tostring(a) + tostring(sizeof(a)));'
    check "no arguments: an empty list" "00" "$out"
    run -e 's := import("sys.z"); s.getenv(5);'
    check "getenv of a number" 'ERROR (sys.z:' "${out%%[0-9]*}"
    case "$out" in *") getenv expected string as parameter") ;; *) check "getenv message" "getenv expected string as parameter" "$out" ;; esac
}

case_import_order() {
    # A helper beside the script takes precedence over the library's, however
    # the script is named; without one, the library's is found.
    mkdir -p app other
    printf 'function () { t.wln = function (v) { __CALL "sys.write"; __CALL "sys.write"; }; return t; }\n' > app/sys.z
    printf 's := import("sys.z");\ns.wln("x");\n' > app/main.z
    cp app/main.z other/main.z
    cd app || exit 2
    run main.z
    check "zorvik main.z: the neighbour first" "xx" "$out"
    run ./main.z
    check "zorvik ./main.z: the neighbour first" "xx" "$out"
    cd .. || exit 2
    run app/main.z
    check "zorvik app/main.z: the neighbour first" "xx" "$out"
    cd other || exit 2
    run main.z
    check "no neighbour: the library" "x" "$out"
    cd .. || exit 2

    # Named directories come after the script's own, -I in the order given,
    # then ZORVIK_PATH, then the library; each file says where it was found.
    mkdir -p one two three
    for d in app one two three; do
        printf 'function () { t.from = "%s"; return t; }\n' "$d" > "$d/_which.z"
    done
    printf 'function () { t.from = "two"; return t; }\n' > two/_second.z
    printf 'function () { t.from = "three"; return t; }\n' > three/_third.z
    printf 'function () { t.wln = function (v) { __CALL "sys.write"; __CALL "sys.write"; }; return t; }\n' > three/sys.z
    printf 's := import("sys.z");\nw := import("_which.z");\nv := import("_second.z");\nu := import("_third.z");\ns.wln(w.from + v.from + u.from);\n' > main.z
    printf 's := import("sys.z");\nw := import("_which.z");\ns.wln(w.from);\n' > app/which.z
    # (three/sys.z writes everything twice)
    check "-I: in the order given, before ZORVIK_PATH and the library" "onetwothreeonetwothree" \
        "$(ZORVIK_PATH=three "$zorvik" -I one -Itwo main.z 2>&1)"
    check "ZORVIK_PATH: in its order, before the library; empty entries ignored" "twotwothreetwotwothree" \
        "$(ZORVIK_PATH=::two:three: "$zorvik" -I two main.z 2>&1)"
    check "the script's own directory first" "appapp" "$(ZORVIK_PATH=three "$zorvik" -I one app/which.z 2>&1)"
    run -I
    check "-I without a directory: status" 2 "$status"
    run -I one
    check "-I without a script: status" 2 "$status"

    # Relative directories are fixed at start-up; an error names the file as
    # the user would find it.
    mkdir -p lib
    printf 'function () {\n  t.f = function () { return 1 + "x"; };\n  return t;\n}\n' > lib/util.z
    printf 'f := import("file.z");\nf.cd("app");\nu := import("util.z");\nu.f();\n' > uses.z
    run -I lib uses.z
    check "-I: a relative directory after cd; the error names it as given" \
        "ERROR (lib/util.z:2:37) + is undefined between numbers and strings" "$out"
    run -I "$work/lib/" uses.z
    check "-I: an absolute directory" \
        "ERROR ($work/lib/util.z:2:37) + is undefined between numbers and strings" "$out"
    printf 'x := import("_lexical.z");\n' > lex.z
    printf 'function () {\n  t = "abc;\n}\n' > _lexical.z
    run lex.z
    check "a lexical error in an import beside the script: its name as written" \
        "ERROR (_lexical.z:2:7) Unterminated string" "$out"

    # An imported file's own imports look beside it last: what the search
    # path finds stays first, and the same name beside two importers means
    # two files.
    mkdir -p near/a near/b
    printf 'function () { t.from = "near"; return t; }\n' > near/_which.z
    for d in a b; do
        printf 'function () { t := import("_near.z"); n := import("_which.z"); t.which = n.from; return t; }\n' > "near/$d/_load.z"
        printf 'function () {\n  t.from = "%s";\n  t.bad = function () { return 1 + "x"; };\n  return t;\n}\n' "$d" > "near/$d/_near.z"
        printf 'function () { t.from = "%s"; return t; }\n' "$d" > "near/$d/_which.z"
    done
    printf 's := import("sys.z");\na := import("a/_load.z");\nb := import("b/_load.z");\nc := import("a/_load.z");\ns.wln(a.from + b.from + c.from + " " + a.which + b.which);\nb.bad();\n' > near/main.z
    run near/main.z
    check "imports beside an imported file" "aba nearnear
ERROR (b/_near.z:3:39) + is undefined between numbers and strings" "$out"
}

case_input() {
    # The loop over standard input ends however the input ends: at its end,
    # or when it cannot be read at all, which is named once.
    cat > read.z <<'EOF'
s := import("sys.z");
n = 0;
while (1) { line = s.rln(); if (s.eof()) { break; } n++; }
s.wln(n); s.wln(s.eof()); s.wln(length(s.rln()));
EOF
    local what
    for what in closed directory write-only empty; do
        case $what in
            closed) out=$(timeout 60 "$zorvik" read.z 2>"$work/.err" <&-) ;;
            directory) out=$(timeout 60 "$zorvik" read.z 2>"$work/.err" <"$work") ;;
            write-only) out=$(timeout 60 "$zorvik" read.z 2>"$work/.err" 0>"$work/w") ;;
            empty) out=$(timeout 60 "$zorvik" read.z 2>"$work/.err" </dev/null) ;;
        esac
        status=$?
        err=$(cat "$work/.err")
        check "$what input: output" "0
1
0" "$out"
        check "$what input: status" 0 "$status"
        if [ $what = empty ]; then
            check "empty input: standard error" "" "$err"
        else
            # One line, whatever the system calls the reason.
            check "$what input: named once" "zorvik: could not read standard input" "${err%: *}"
        fi
    done
}

"case_$case_name"
exit $((failures > 0))
