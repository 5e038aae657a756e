#!/usr/bin/env bash
# Runs the fuzz target: run_fuzz.sh <fuzz_zorvik> <seconds>
# The working corpus lives in build/fuzz/corpus and grows from run to run; the
# seeds are the test scripts, the examples and freshly generated programs.
# Findings are written to build/fuzz/findings; the run fails on the first.
# Every run is bounded by the build's step limit, so an input still running
# after 60 s hangs; a shorter timeout misfires on a loaded machine.
set -euo pipefail
target=$(realpath "$1")
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out=$(dirname "$target")/../..
mkdir -p "$out/corpus" "$out/seeds" "$out/generated" "$out/findings"
out=$(realpath "$out")
find "$root/tests/scripts" "$root/examples" -name '*.z' -exec cp {} "$out/seeds/" \;
python3 "$here/generate.py" "$out/generated" 500 "$(date +%s)"
cd "$out"
exec nice -n 19 "$target" -dict="$here/zorvik.dict" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=4096 \
    -max_len=8192 -artifact_prefix="$out/findings/" -print_final_stats=1 \
    "$out/corpus" "$out/seeds" "$out/generated"
