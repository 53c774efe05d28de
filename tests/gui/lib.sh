# shellcheck shell=bash
# Helpers for the GUI tests, sourced by each of them:
#   . "$(dirname "$0")/lib.sh" BUILD_DIR
#
# Each test runs the real programs in its own Xvfb, in a fresh temporary
# folder; on exit, whatever happened, it ends every process it started (and
# their children, such as Allegro's xmessage boxes), then Xvfb, and removes
# the folder (kept and named when the test failed, for its screenshots).

set -euo pipefail

build=${1:?usage: $0 BUILD_DIR}
build=$(cd "$build" && pwd)
# For the tests that source this file: the source tree and Debian's Python
# (which has Pillow).
# shellcheck disable=SC2034
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck disable=SC2034
python=/usr/bin/python3

# How long to wait for any one thing (a window, a file, a picture, an exit).
timeout_s=${GFX16_GUI_TIMEOUT:-30}

work=$(mktemp -d "${TMPDIR:-/tmp}/gfx16-gui.XXXXXX")
started=()
xvfb_pid=

# The programs read a user's Allegro configuration from $HOME; a test must
# not depend on one.
export HOME=$work/home
mkdir -p "$HOME"
unset ALLEGRO

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

ok() {
    echo "ok - $*"
}

# True while the process runs; a zombie (ended, not yet waited for) has ended.
alive() {
    local stat
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    stat=${stat##*) }
    [ "${stat:0:1}" != Z ]
}

children() {
    ps -o pid= --ppid "$1" 2>/dev/null | tr -d ' ' || true
}

# Ends a process and its descendants, by their ids.
end_tree() {
    local pid=$1 child
    for child in $(children "$pid"); do
        end_tree "$child"
    done
    kill -TERM "$pid" 2>/dev/null || return 0
    local i
    for ((i = 0; i < 20; i++)); do
        alive "$pid" || return 0
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
}

cleanup() {
    local status=$? pid
    trap - EXIT
    set +e
    for pid in "${started[@]}"; do
        end_tree "$pid"
    done
    if [ -n "$xvfb_pid" ]; then
        kill -TERM "$xvfb_pid" 2>/dev/null
        wait "$xvfb_pid" 2>/dev/null
    fi
    if [ "$status" -eq 0 ]; then
        rm -rf "$work"
    else
        echo "test files kept in $work" >&2
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Polls a command until it succeeds; fails the test after the timeout.
wait_for() {
    local what=$1 deadline=$((SECONDS + timeout_s))
    shift
    until "$@" >/dev/null; do
        [ "$SECONDS" -lt "$deadline" ] || fail "timed out waiting for $what"
        sleep 0.1
    done
}

# Starts Xvfb with the given screen (default 1024x768x24) on a free display
# and points DISPLAY at it.
start_xvfb() {
    local screen=${1:-1024x768x24} fd=$work/xvfb.display
    : >"$fd"
    # -noreset: by default the server resets when its last client leaves,
    # and a program started during the reset cannot connect.
    Xvfb -displayfd 9 -screen 0 "$screen" -nolisten tcp -noreset 9>"$fd" >"$work/xvfb.log" 2>&1 &
    xvfb_pid=$!
    local deadline=$((SECONDS + timeout_s))
    until grep -q '^[0-9]' "$fd"; do
        alive "$xvfb_pid" || { cat "$work/xvfb.log" >&2; fail "Xvfb did not start"; }
        [ "$SECONDS" -lt "$deadline" ] || fail "timed out waiting for Xvfb"
        sleep 0.1
    done
    local display
    display=$(head -n 1 "$fd")
    export DISPLAY=:$display
    xdpyinfo >/dev/null || fail "cannot reach Xvfb on $DISPLAY"
}

# Starts a program in a folder, its output in DIR/NAME.out and DIR/NAME.err;
# sets $pid. Any further arguments go before the program (e.g. env -u DISPLAY).
start_in() {
    local dir=$1 name=$2
    shift 2
    (cd "$dir" && exec "$@") >"$dir/$name.out" 2>"$dir/$name.err" &
    pid=$!
    started+=("$pid")
}

# Waits for the process to end; sets $status to its exit status.
wait_exit() {
    wait_for "process $1 to end" eval '! alive '"$1"
    status=0
    wait "$1" || status=$?
}

# Fails unless the program ended normally with the given status (not killed
# by a signal, which shows as 128 + the signal number).
expect_status() {
    local want=$1 what=$2
    [ "$status" -lt 128 ] || fail "$what: killed by signal $((status - 128))"
    [ "$status" -eq "$want" ] || fail "$what: exit status $status, expected $want"
}

# The position (X Y) of the program's 1024x768 window, once it is shown.
find_screen_window() {
    xwininfo -root -tree 2>/dev/null |
        awk '$0 ~ / 1024x768\+-?[0-9]+\+-?[0-9]+ / { print $NF; exit }' |
        awk -F+ 'NF == 3 { print $2, $3 }'
}

wait_screen_window() {
    local deadline=$((SECONDS + timeout_s))
    while :; do
        win_pos=$(find_screen_window)
        [ -n "$win_pos" ] && break
        alive "$1" || fail "the program ended before showing its window: $(cat "$2" 2>/dev/null)"
        [ "$SECONDS" -lt "$deadline" ] || fail "timed out waiting for the program's window"
        sleep 0.1
    done
    read -r win_x win_y <<<"$win_pos"
    # With no window manager, keys go to the window under the pointer.
    xdotool mousemove $((win_x + 512)) $((win_y + 384))
}

# Screenshot of the whole X screen, as PNG.
screenshot() {
    xwd -root -silent | convert xwd:- "png:$1"
}

# Cuts W x H at (X, Y) of the program's screen out of a screenshot.
crop() {
    convert "$1" -crop "$3x$4+$((win_x + $5))+$((win_y + $6))" +repage "png:$2"
}

# Number of pixels that differ between two pictures of the same size.
pixels_differing() {
    compare -metric AE "$1" "$2" null: 2>&1 || true
}

# Polls screenshots until the program's screen shows EXPECTED at (X, Y);
# on a timeout fails with the count of differing pixels.
wait_screen_shows() {
    local expected=$1 x=$2 y=$3 what=$4 size w h diff=unknown
    size=$(identify -format '%w %h' "$expected")
    read -r w h <<<"$size"
    local deadline=$((SECONDS + timeout_s))
    while :; do
        screenshot "$work/shot.png"
        crop "$work/shot.png" "$work/region.png" "$w" "$h" "$x" "$y"
        diff=$(pixels_differing "$work/region.png" "$expected")
        [ "$diff" = 0 ] && return 0
        [ "$SECONDS" -lt "$deadline" ] || break
        sleep 0.2
    done
    cp "$work/shot.png" "$work/failed-screen.png"
    fail "$what: the screen at ($x, $y) differs from $(basename "$expected") in $diff pixels"
}

# Presses the space bar and holds it until the program has ended, so that
# its polling of the key state cannot miss a short press.
press_space_until_exit() {
    xdotool keydown space
    wait_exit "$1"
    xdotool keyup space
}

# The xmessage box that a program (by id) has opened: sets $box_pid and
# $box_text (its message).
wait_message_box() {
    local parent=$1 deadline=$((SECONDS + timeout_s)) child
    box_pid=
    while [ -z "$box_pid" ]; do
        for child in $(children "$parent"); do
            if [ "$(cat "/proc/$child/comm" 2>/dev/null)" = xmessage ]; then
                box_pid=$child
            fi
        done
        [ -n "$box_pid" ] && break
        alive "$parent" || fail "the program ended without a message box"
        [ "$SECONDS" -lt "$deadline" ] || fail "timed out waiting for the message box"
        sleep 0.1
    done
    # The message is xmessage's last argument.
    # shellcheck disable=SC2034
    box_text=$(tr '\0' '\n' <"/proc/$box_pid/cmdline" | sed -n '/^-center$/,$p' | sed 1d)
    wait_for "the message box window" xdotool search --onlyvisible --class Xmessage
}

# Dismisses the box with its default button, as a user pressing Return.
dismiss_message_box() {
    local wid
    wid=$(xdotool search --onlyvisible --class Xmessage | head -n 1)
    xdotool windowfocus --sync "$wid"
    xdotool key Return
}

# The names of the files in a folder, hidden ones included, one a line.
files_in() {
    find "$1" -mindepth 1 -maxdepth 1 -printf '%f\n' | sort
}

# Bits per pixel in a BMP file's header.
bmp_bits() {
    od -A n -t u2 -j 28 -N 2 "$1" | tr -d ' '
}

# Fails unless FILE contains the text.
expect_text() {
    grep -qF -- "$2" "$1" || fail "$3: expected \"$2\", got: $(cat "$1")"
}
