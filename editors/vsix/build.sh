#!/bin/sh
# Packs the VS Code extension in editors/vscode, with the project's LICENSE,
# into OUT_DIR/zorvik-<version>.vsix using the vsce pinned in this folder's
# package-lock.json (npm ci --prefix editors/vsix installs it). Exits 77,
# having built nothing, where Node.js or that vsce is missing.
# Usage: build.sh SOURCE_DIR OUT_DIR
set -eu
source=$1 out=$2
vsce=$source/editors/vsix/node_modules/.bin/vsce
if ! command -v node >/dev/null; then
    echo "SKIPPED: Node.js is not installed (apt-get install nodejs npm)"
    exit 77
fi
if [ ! -x "$vsce" ]; then
    echo "SKIPPED: vsce is not installed (npm ci --prefix editors/vsix)"
    exit 77
fi
stage=$(mktemp -d /tmp/zorvik-vsix-XXXXXX)
trap 'rm -rf "$stage"' EXIT
cp -R "$source/editors/vscode/." "$stage/"
cp "$source/LICENSE" "$stage/LICENSE"
version=$(node -p "require('$stage/package.json').version")
mkdir -p "$out"
# No questions: vsce would otherwise ask about the missing repository field.
(cd "$stage" && "$vsce" package --allow-missing-repository -o "$out/zorvik-$version.vsix" </dev/null)
