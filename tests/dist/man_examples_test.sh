#!/bin/sh
# Every option that `zorvik --help` lists has its entry in the manual page's
# OPTIONS, and the EXAMPLES run as the page shows them. A block whose
# first line is #! is the file named just before it (".IR name :"); in the
# other blocks, lines starting with "$ " are shell commands and the rest is
# what they print (standard output and error together).
# Usage: man_examples_test.sh PAGE ZORVIK
set -eu
page=$1 zorvik=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
work=$(mktemp -d /tmp/zorvik-man-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
ln -s "$zorvik" "$work/bin/zorvik"
awk -v dir="$work" '
    /^\.SH / { examples = ($2 == "EXAMPLES"); next }
    !examples { next }
    /^\.IR .* :$/ { name = $2 }
    /^\.EX$/ { block++; first = 1; inside = 1; next }
    /^\.EE$/ { inside = 0; next }
    inside {
        line = $0
        gsub(/\\-/, "-", line)
        if (first) { file = (line ~ /^#!/) ? dir "/" name : ""; first = 0 }
        if (file != "") print line > file
        else if (line ~ /^\$ /) print substr(line, 3) > (dir "/cmd." block)
        else print line > (dir "/out." block)
    }' "$page"
options=$(awk '/^\.SH / { on = ($2 == "OPTIONS"); next } on && /^\.B/' "$page" | sed 's/\\-/-/g')
for opt in $("$zorvik" --help | sed -n 's/^  \(-[^ ,]*\)\(, \(-[^ ]*\)\)\{0,1\} .*/\1 \3/p'); do
    echo "$options" | grep -Eq -- "(^\.B[IR]* |[ \"])$opt([ \",]|\$)" || { echo "FAIL: option $opt is not in OPTIONS"; exit 1; }
done
count=0
for cmd in "$work"/cmd.*; do
    [ -f "$cmd" ] || break
    n=${cmd##*.}
    expected=$(cat "$work/out.$n" 2>/dev/null || true)
    actual=$(cd "$work" && PATH="$work/bin:$PATH" sh "$cmd" 2>&1 || true)
    if [ "$actual" != "$expected" ]; then
        echo "FAIL: example $n:"; cat "$cmd"; echo "expected:"; echo "$expected"; echo "got:"; echo "$actual"
        exit 1
    fi
    count=$((count + 1))
done
[ $count -ge 4 ] || { echo "FAIL: found $count examples"; exit 1; }
echo "man page examples: $count ok"
