#!/bin/bash
# How a run starts and ends: each program given a file in another folder
# reads that file (and encode mode still writes output.bmp where it runs);
# a bad argument gets a message box and status 1 and changes nothing; and
# twenty plain taps of the space bar, not held, each end a run.
# shellcheck source=tests/gui/lib.sh
. "$(dirname "$0")/lib.sh" "$@"

[ -x "$build/gfx16conv" ] || fail "$build/gfx16conv is not built"
start_xvfb

pics=$work/pictures
mkdir -p "$pics"
# A name with spaces, too long for the title with everything else in it.
long="a picture with a name that goes on and on, longer than a window title has room for.png"
"$python" "$top/scripts/make-sample.py" --photo --size 200x150 "$pics/photo.bmp"
(cd "$pics" && convert photo.bmp "$long" && "$build/gfx16conv" encode "$long" carrier.bmp preview.png &&
    "$build/gfx16conv" encode "$long" carrier.png && "$build/gfx16conv" decode carrier.png decoded.png) ||
    fail "making the pictures"

# Each case: program, argument (in $pics), what must show at (0, 0) and at
# (200, 0) (- for nothing), and whether the run writes output.bmp.
forms=(
    "gfx16-encode|$long|preview.png|photo.bmp|yes"
    "gfx16|carrier.png|decoded.png|-|no"
)
n=0
for c in "${forms[@]}"; do
    IFS='|' read -r program argument left right writes <<<"$c"
    n=$((n + 1))
    dir=$work/form$n
    mkdir -p "$dir"
    start_in "$dir" run "$build/$program" "$pics/$argument"
    wait_screen_window "$pid" "$dir/run.err"
    wait_screen_shows "$pics/$left" 0 0 "$program FILE"
    [ "$right" = - ] || wait_screen_shows "$pics/$right" 200 0 "$program FILE"
    title=$(xdotool getwindowname "$(xdotool search --name "^$program:" | head -n 1)")
    case $title in
    "$program: a picture with"*"..."*"room for.png, 200x150, fitted 100%"*"space quits") ;;
    "$program: $argument, 200x150, fitted 100%"*"space quits") ;;
    *) fail "$program FILE: the title is \"$title\"" ;;
    esac
    [ "${#title}" -le 127 ] || fail "$program FILE: a title of ${#title} characters, Allegro keeps 127"
    xdotool key space
    wait_exit "$pid"
    expect_status 0 "$program FILE"
    if [ "$writes" = yes ]; then
        cmp -s "$pics/carrier.bmp" "$dir/output.bmp" || fail "$program FILE: output.bmp is not the file's carrier"
    fi
    others=$(files_in "$dir" | grep -v -x -e run.out -e run.err -e output.bmp || true)
    [ -z "$others" ] || fail "$program FILE: files left behind: $others"
    ok "$program FILE: shows the file's pictures, names it in the title \"$title\""
done

# Each case: what, program, arguments (words), the message. The folder
# holds a picture as output.bmp, which must stay as it is.
bad=(
    "no such picture|gfx16-encode|nothing.png|Cannot load the picture nothing.png"
    "no such carrier|gfx16|nothing.png|Cannot load the carrier nothing.png"
    "a folder|gfx16|.|Cannot load the carrier ."
    "two pictures|gfx16-encode|a.bmp b.bmp|usage: gfx16-encode [PICTURE]"
    "two carriers|gfx16|a.bmp b.bmp|usage: gfx16 [CARRIER]"
    "the carrier's name|gfx16-encode|./output.bmp|output.bmp is the input ./output.bmp: refusing to overwrite it"
)
for c in "${bad[@]}"; do
    IFS='|' read -r what program arguments message <<<"$c"
    n=$((n + 1))
    dir=$work/case$n
    mkdir -p "$dir"
    cp "$pics/photo.bmp" "$dir/output.bmp"
    # shellcheck disable=SC2086 # the arguments are words
    start_in "$dir" run "$build/$program" $arguments
    wait_message_box "$pid"
    case $box_text in
    "$message" | "$message: "?*) ;;
    *) fail "$what: the message box says \"$box_text\", expected \"$message\"" ;;
    esac
    expect_text "$dir/run.err" "gfx16: $message" "$what"
    dismiss_message_box
    wait_exit "$pid"
    expect_status 1 "$what"
    cmp -s "$pics/photo.bmp" "$dir/output.bmp" || fail "$what: output.bmp was changed"
    others=$(files_in "$dir" | grep -v -x -e output.bmp -e run.out -e run.err || true)
    [ -z "$others" ] || fail "$what: files left behind: $others"
    ok "$what: $program shows \"$box_text\" and exits with 1"
done

# A tap is a press and a release 12 ms apart, between two looks at the
# keyboard; each must end its run, in either program.
dir=$work/taps
mkdir -p "$dir"
for ((tap = 1; tap <= 20; tap++)); do
    if ((tap % 2)); then program=gfx16-encode shown=preview.png; else program=gfx16 shown=decoded.png; fi
    start_in "$dir" run "$build/$program" "$pics/$( ((tap % 2)) && echo "$long" || echo carrier.png)"
    wait_screen_window "$pid" "$dir/run.err"
    wait_screen_shows "$pics/$shown" 0 0 "$program, tap $tap"
    xdotool key space
    deadline=$((SECONDS + 5))
    while alive "$pid"; do
        [ "$SECONDS" -lt "$deadline" ] || fail "$program missed tap $tap of the space bar"
        sleep 0.1
    done
    wait_exit "$pid"
    expect_status 0 "$program, tap $tap"
done
ok "20 taps of the space bar ended 20 runs"
