#!/bin/bash
# gfx16conv on every generated reader case (scripts/make-reader-cases.py): a valid
# file encodes; a damaged one ends with status 1, one line on stderr that
# names the file and gives the reader's reason, and no output file, whether
# or not one was there before.
#   reader_cases_cli.sh GFX16CONV CASES_DIR
set -u
conv=$1
cases=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

n=0
while read -r kind file rest; do
    n=$((n + 1))
    out=$work/out.bmp
    rm -f "$work"/* "$work"/.[!.]*
    if [ "$kind" = valid ]; then
        "$conv" encode "$cases/$file" "$out" 2>"$work/err"
        status=$?
        [ $status = 0 ] || fail "$file: status $status: $(cat "$work/err")"
        [ -s "$out" ] || fail "$file: no carrier written"
        continue
    fi
    # Half of the damaged cases find an older output in place: it must stay.
    if [ $((n % 2)) = 0 ]; then printf 'older output' >"$out"; fi
    "$conv" encode "$cases/$file" "$out" 2>"$work/err"
    status=$?
    want="gfx16conv: $cases/$file: cannot load the picture: $rest"
    [ $status = 1 ] || fail "$file: status $status, expected 1"
    [ "$(cat "$work/err")" = "$want" ] || fail "$file: said \"$(cat "$work/err")\", expected \"$want\""
    if [ $((n % 2)) = 0 ]; then
        [ "$(cat "$out" 2>/dev/null)" = 'older output' ] || fail "$file: the older output was changed"
    else
        [ ! -e "$out" ] || fail "$file: an output was written"
    fi
    left=$(ls -A "$work" | grep -v -x -e err -e out.bmp)
    [ -z "$left" ] || fail "$file: files left behind: $left"
done <"$cases/cases.txt"

[ $n -gt 100 ] || fail "only $n cases in $cases/cases.txt"
echo "$n cases, $failures failures"
[ $failures = 0 ]
