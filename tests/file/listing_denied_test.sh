#!/bin/sh
# An entry that a listing cannot look up (in a directory that may be read but
# not searched) ends the run with a message that names the function called.
# Root reads through any permission, so as root the runs drop to user nobody;
# where that is not possible the test is skipped (status 77).
# Usage: listing_denied_test.sh ZORVIK
zorvik=$1
as_user() { "$@"; }
if [ "$(id -u)" = 0 ]; then
    command -v setpriv >/dev/null || exit 77
    as_user() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }
fi
as_user test -x "$zorvik" -a -r "$(dirname "$zorvik")/lib/file.z" || exit 77

d=$(mktemp -d) || exit 1
trap 'chmod -R u+rwx "$d"; rm -rf "$d"' EXIT
chmod 755 "$d"
mkdir "$d/locked" && : >"$d/locked/entry" && chmod 644 "$d/locked"
cd "$d" || exit 1
status=0
for fn in list files dirs; do
    printf 'fl := import("file.z"); l := fl.%s("locked");\n' "$fn" >"$fn.z"
    out=$(as_user "$zorvik" "$fn.z")
    case "$out" in
        "ERROR (file.z:"*") $fn could not fetch file information") ;;
        *) echo "$fn: unexpected output: $out"; status=1 ;;
    esac
done
exit $status
