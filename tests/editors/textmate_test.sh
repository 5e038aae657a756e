#!/bin/sh
# Runs textmate_test.js; skipped (status 77) where Node.js or the pinned npm
# packages are missing (install them with: npm ci --prefix tests/editors).
# Usage: textmate_test.sh SOURCE_DIR
set -eu
dir=$1/tests/editors
if ! command -v node >/dev/null; then
    echo "SKIPPED: Node.js is not installed (apt-get install nodejs npm)"
    exit 77
fi
if [ ! -d "$dir/node_modules/vscode-textmate" ] || [ ! -d "$dir/node_modules/vscode-oniguruma" ]; then
    echo "SKIPPED: vscode-textmate and vscode-oniguruma are not installed (npm ci --prefix tests/editors)"
    exit 77
fi
exec node "$dir/textmate_test.js"
