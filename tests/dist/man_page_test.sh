#!/bin/sh
# The manual page renders without a single warning and has every section a
# reader looks for. Skipped (status 77) where no man page formatter is installed.
# Usage: man_page_test.sh PAGE
set -eu
page=$1
checked=0
if command -v groff >/dev/null; then
    out=$(groff -ww -z -man "$page" 2>&1) || { echo "groff failed: $out"; exit 1; }
    [ -z "$out" ] || { echo "groff warns:"; echo "$out"; exit 1; }
    checked=1
fi
if command -v mandoc >/dev/null; then
    out=$(mandoc -T lint -W warning "$page" 2>&1) || { echo "mandoc -T lint:"; echo "$out"; exit 1; }
    checked=1
fi
if [ $checked = 0 ]; then
    echo "SKIPPED: neither groff nor mandoc is installed (apt-get install groff-base)"
    exit 77
fi
for section in NAME SYNOPSIS DESCRIPTION OPTIONS ARGUMENTS "STANDARD INPUT" "EXIT STATUS" \
               ENVIRONMENT FILES LANGUAGE EXAMPLES "SEE ALSO"; do
    grep -qx "\.SH \"*$section\"*" "$page" || { echo "missing section $section"; exit 1; }
done
echo "man page: ok"
