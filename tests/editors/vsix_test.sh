#!/bin/sh
# Builds the .vsix as `make vsix` does and checks that it holds the extension
# VS Code installs (manifest at the project's version, grammar, language
# configuration, licence). Skipped (status 77) where Node.js or the pinned
# vsce is missing.
# Usage: vsix_test.sh SOURCE_DIR VERSION
set -eu
source=$1 version=$2
out=$(mktemp -d /tmp/zorvik-vsix-test-XXXXXX)
trap 'rm -rf "$out"' EXIT
status=0
sh "$source/editors/vsix/build.sh" "$source" "$out" >"$out/log" 2>&1 || status=$?
[ "$status" = 77 ] && { cat "$out/log"; exit 77; }
[ "$status" = 0 ] || { cat "$out/log"; echo "FAIL: vsce package"; exit 1; }
vsix=$out/zorvik-$version.vsix
[ -f "$vsix" ] || { echo "FAIL: no zorvik-$version.vsix"; exit 1; }
python3 - "$vsix" "$version" <<'PY'
import json, sys, zipfile
vsix, version = sys.argv[1], sys.argv[2]
with zipfile.ZipFile(vsix) as z:
    names = set(z.namelist())
    need = {"extension.vsixmanifest", "extension/package.json", "extension/language-configuration.json",
            "extension/syntaxes/zorvik.tmLanguage.json", "extension/LICENSE.txt"}
    missing = need - names
    if missing:
        sys.exit("FAIL: the .vsix lacks " + ", ".join(sorted(missing)))
    manifest = json.loads(z.read("extension/package.json"))
    if manifest["version"] != version:
        sys.exit("FAIL: the extension is version %s, the project %s" % (manifest["version"], version))
    if "MIT" not in z.read("extension/LICENSE.txt").decode():
        sys.exit("FAIL: the .vsix licence is not the project's")
print("vsix %s: ok" % vsix.rsplit("/", 1)[1])
PY
