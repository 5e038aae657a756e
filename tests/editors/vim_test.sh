#!/bin/sh
# Runs Vim headless over the sample scripts with editors/vim on its
# 'runtimepath' and checks file-type detection and syntax groups
# (vim_check.vim). Skipped (status 77) where no Vim with syntax support is installed.
# Usage: vim_test.sh SOURCE_DIR
set -eu
source=$1
vim=$(command -v vim || true)
if [ -z "$vim" ] || ! "$vim" --version | grep -q '+syntax'; then
    echo "SKIPPED: Vim with +syntax is not installed (apt-get install vim-nox)"
    exit 77
fi
result=$(mktemp /tmp/zorvik-vim-XXXXXX)
trap 'rm -f "$result"' EXIT
"$vim" -Es -N -u NONE -i NONE \
    -c "set runtimepath^=$source/editors/vim" -c 'filetype on' -c 'syntax on' \
    -c "let g:samples = '$source/tests/editors/samples'" -c "let g:result = '$result'" \
    -c "source $source/tests/editors/vim_check.vim" </dev/null || true
cat "$result"
[ "$(tail -n 1 "$result")" = ok ]
