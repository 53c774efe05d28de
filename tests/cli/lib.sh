# shellcheck shell=bash
# Helpers for the command-line tests, sourced by each of them:
#   . "$(dirname "$0")/lib.sh"
# A fresh temporary folder (removed at the end, write-protected files and
# all) becomes the current one; `check` counts what passes and what fails,
# `run` runs gfx16conv ($conv) expecting a status, and `finish` prints the
# counts and gives the status.
work=$(mktemp -d)
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT
cd "$work" || exit 1

passed=0 failed=0
check() {  # check DESCRIPTION COMMAND...: the command must succeed
    local what="$1"; shift
    if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $what"; fi
}
same() { cmp -s "$1" "$2" || { echo "$1 and $2 differ"; return 1; }; }
said() { grep -qF -- "$1" err.txt || { echo "stderr: $(cat err.txt)"; return 1; }; }
# run EXPECTED_STATUS ARGS...: runs $conv (within a minute: a hang
# fails), keeps stdout and stderr
run() {
    local expected="$1"; shift
    timeout 60 "$conv" "$@" >out.txt 2>err.txt
    local status=$?
    [ "$status" -eq "$expected" ] || { echo "gfx16conv $*: status $status, expected $expected"; cat err.txt; return 1; }
}
finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
