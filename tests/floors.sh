#!/usr/bin/env bash
# The floors of src/: the codec library (src/codec, with its public header
# src/gfx16/codec.h) includes nothing of the file layer or the programs, and
# the file layer (src/files) nothing of the programs (src/programs).
# Usage: floors.sh SOURCE_DIR
set -u
cd "$1/src" || exit 1
failed=0
# above FOLDER WHAT...: FOLDER's files must not include from any of WHAT.
above() {
    local folder=$1; shift
    local pattern
    pattern=$(printf '|%s/' "$@")
    local found
    found=$(grep -n -E "^#include \"(${pattern:1})" "$folder"/* 2>/dev/null)
    if [ -n "$found" ]; then
        echo "FAIL: $folder reaches up a floor:"
        echo "$found"
        failed=1
    fi
}
above gfx16 codec files programs
above codec files programs
above files programs
[ "$failed" = 0 ] && echo "ok - no floor reaches up"
exit $failed
