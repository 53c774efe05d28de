#!/usr/bin/env bash
# Where gfx16conv's outputs go when they are not plain new files: names of
# the process's own descriptors, terminals, closed pipes, signals in a batch,
# the umask, and files of other users.
# Usage: outputs.sh BUILD_DIR
set -u
conv="$1/gfx16conv"
# shellcheck source=tests/cli/lib.sh
. "$(dirname "$0")/lib.sh"
chmod 755 "$work"  # the cases run as nobody read and write in here
equal() { [ "$1" = "$2" ] || { echo "got '$1', expected '$2'"; return 1; }; }
# Hidden files (temporaries and kept old files) in a folder.
no_hidden() { equal "$(ls -A "$1" | grep '^\.' | tr '\n' ' ')" ""; }

convert -size 64x48 gradient:red-blue -type TrueColor BMP3:picture.bmp || exit 1
convert -size 2000x1500 gradient:yellow-navy -type TrueColor BMP3:big.bmp || exit 1
chmod 644 picture.bmp big.bmp
"$conv" encode picture.bmp carrier.bmp || exit 1

# ---- Names of open descriptors: written through, never replaced -------------
# NAME REDIRECTION: the carrier goes between two lines of a log that already
# holds one; the log must hold all four, in order.
while read -r name redirection; do
    printf 'old\n' >log
    case $redirection in
        1) { echo start; "$conv" encode picture.bmp "$name"; echo end; } >>log ;;
        2) { echo start >&2; "$conv" encode picture.bmp "$name"; echo end >&2; } 2>>log ;;
        5) { echo start >&5; "$conv" encode picture.bmp "$name"; echo end >&5; } 5>>log ;;
    esac
    { printf 'old\nstart\n'; cat carrier.bmp; printf 'end\n'; } >expected
    check "$name into a log opened for appending" same log expected
done <<'EOF'
/dev/stdout 1
/dev/fd/1 1
/proc/self/fd/1 1
/dev/stderr 2
/dev/fd/5 5
/proc/self/fd/5 5
EOF
cp carrier.bmp kept.bmp
"$conv" encode big.bmp /dev/stdin <kept.bmp 2>err.txt
check "a descriptor open for reading only is refused" equal "$?" 1
check "...and the file it reads is kept" same kept.bmp carrier.bmp
check "...with a reason" grep -q "^gfx16conv: /dev/stdin: .*reading" err.txt

# ---- Terminals --------------------------------------------------------------
# On a new terminal, runs the shell command in $1 and prints what the terminal
# showed; the command reads the carrier's name from $name.
on_terminal() {
    /usr/bin/python3 - "$1" <<'EOF'
import os, pty, sys
pid, fd = pty.fork()
if pid == 0:
    os.execv("/bin/sh", ["sh", "-c", sys.argv[1]])
shown = b""
while True:
    try:
        chunk = os.read(fd, 65536)
    except OSError:
        break
    if not chunk:
        break
    shown += chunk
os.waitpid(pid, 0)
sys.stdout.buffer.write(shown)
EOF
}
for name in - /dev/stdout /dev/tty '$(tty)'; do
    rm -f preview.bmp
    shown=$(on_terminal "'$conv' encode picture.bmp $name preview.bmp; echo \"status \$?\"" | tr -d '\0')
    check "$name on a terminal: refused" grep -q "is a terminal" <<<"$shown"
    check "...status 1" grep -q "status 1" <<<"$shown"
    check "...no carrier on the terminal" equal "$(grep -c BM <<<"$shown")" 0
    check "...and no preview" equal "$(ls preview.bmp 2>/dev/null)" ""
done

# ---- A closed pipe ----------------------------------------------------------
# The reader stops after 100 bytes: gfx16conv ends quietly of SIGPIPE, or,
# when SIGPIPE was ignored by its caller, with an error; neither leaves a
# preview or a temporary.
env --default-signal=PIPE "$conv" encode big.bmp - preview.bmp 2>err.txt | head -c 100 >/dev/null
check "SIGPIPE: dies of it" equal "${PIPESTATUS[0]}" 141
check "...quietly" equal "$(cat err.txt)" ""
check "...with no preview or temporary" equal "$(ls -A | grep preview)" ""
rm -f .preview.bmp.* preview.bmp
env --ignore-signal=PIPE "$conv" encode big.bmp - preview.bmp 2>err.txt | head -c 100 >/dev/null
check "SIGPIPE ignored: status 1" equal "${PIPESTATUS[0]}" 1
check "...saying why" grep -q "Broken pipe" err.txt
check "...with no preview or temporary" equal "$(ls -A | grep preview)" ""

# ---- A batch: SIGINT while 24 files are written at once -------------------
mkdir in out
for i in $(seq 10 33); do ln big.bmp in/p$i.bmp; done
# (A script's background job starts with SIGINT ignored, and gfx16conv
# leaves it so, as tools do.)
env --default-signal=INT "$conv" encode --preview --jobs 24 --out-dir out in/*.bmp >/dev/null 2>&1 &
batch=$!
for _ in $(seq 20000); do
    [ "$(ls -A out | grep -c '^\.')" -ge 24 ] && break
    kill -0 $batch 2>/dev/null || break
    sleep 0.001
done
check "SIGINT: 24 temporaries or more were there" [ "$(ls -A out | grep -c '^\.')" -ge 24 ]
kill -INT $batch
wait $batch
check "...dies of it" equal "$?" 130
check "...and leaves none" no_hidden out
rm -rf in out

# ---- New files get 0666 less the umask, whatever the threads do -----------
mkdir in out
for i in $(seq 1000 1999); do ln picture.bmp in/p$i.bmp; done
(umask 077 && "$conv" encode --jobs 4 --out-dir out in/*.bmp >/dev/null)
check "umask 077, 4 jobs: 1000 files" equal "$(ls out | wc -l)" 1000
check "...all 0600" equal "$(find out -type f ! -perm 600 | wc -l)" 0
# A closed standard output: the batch says its lines could not be printed,
# and no file being written took the descriptor's number to receive them.
rm -rf out
"$conv" encode --jobs 2 --out-dir out in/*.bmp >&- 2>err.txt
check "standard output closed: status 1" equal "$?" 1
check "...saying why" grep -q "standard output: Bad file descriptor" err.txt
check "...and every carrier whole" equal "$(cat out/* | sha256sum)" "$(for i in $(seq 1000); do cat carrier.bmp; done | sha256sum)"
rm -rf in out

# ---- Files of other users ---------------------------------------------------
# RUNNER OWNER:GROUP MODE -> MODE OWNER:GROUP after the replace. Setuid and
# setgid stay only where the owner and group stayed.
as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }
mkdir shared && chmod 777 shared
while read -r runner owner mode expected; do
    rm -f shared/c.bmp && cp carrier.bmp shared/c.bmp && chown "$owner" shared/c.bmp && chmod "$mode" shared/c.bmp
    if [ "$runner" = nobody ]; then as_nobody "$conv" encode picture.bmp shared/c.bmp
    else "$conv" encode picture.bmp shared/c.bmp; fi
    check "$runner replaces $owner $mode: status" equal "$?" 0
    check "...gives $expected" equal "$(stat -c '%a %U:%G' shared/c.bmp)" "$expected"
done <<'EOF'
root nobody:nogroup 6755 6755 nobody:nogroup
nobody root:root 6666 666 nobody:nogroup
nobody root:nogroup 2664 664 nobody:nogroup
nobody nobody:root 4644 644 nobody:nogroup
EOF
check "...and no temporary" no_hidden shared

finish
