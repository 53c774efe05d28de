#!/usr/bin/env bash
# gfx16conv as a command-line tool among others: batches whose outputs
# clash, the output folder, progress lines, standard output that cannot be
# written, info on streams and large files, --stats from a pipe, a huge
# --max-pixels, and options written --opt=value.
# Usage: batch.sh BUILD_DIR SOURCE_DIR
set -u
conv="$1/gfx16conv"
src="$2"
python=/usr/bin/python3
# shellcheck source=tests/cli/lib.sh
. "$(dirname "$0")/lib.sh"
folder_holds() {  # folder_holds DIR FILE...: exactly these files
    local dir="$1"; shift
    [ "$(ls -A "$dir" | sort | tr '\n' ' ')" = "$(printf '%s\n' "$@" | grep -v '^$' | sort | tr '\n' ' ')" ] ||
        { echo "$dir holds: $(ls -A "$dir" | tr '\n' ' ')"; return 1; }
}

"$python" "$src/scripts/make-sample.py" --size 24x16 a.bmp || exit 1
convert a.bmp PNG24:a.png && convert a.bmp -quality 90 a.jpg && cp a.bmp b.bmp
"$conv" encode b.bmp b.carrier.bmp || exit 1

# ---- Outputs that clash: refused before anything is written -------------------
# Each case: the arguments after --out-dir out, the files refused (each
# naming the others), what the folder holds after, and the lines on stdout
# (the refused files count as done first).
clash_cases=(
    "encode|a.png a.jpg a.bmp b.bmp|a.png a.jpg a.bmp|b.carrier.bmp|[4/4] b.bmp -> out/b.carrier.bmp;1 succeeded, 3 failed"
    "encode --preview|a.png b.bmp a.bmp|a.png a.bmp|b.carrier.bmp b.preview.bmp|[3/3] b.bmp -> out/b.carrier.bmp;1 succeeded, 2 failed"
    "encode|b.bmp ./b.bmp a.bmp|b.bmp ./b.bmp|a.carrier.bmp|[3/3] a.bmp -> out/a.carrier.bmp;1 succeeded, 2 failed"
    "decode|b.carrier.bmp out/b.carrier.png|b.carrier.bmp out/b.carrier.png||0 succeeded, 2 failed"
)
for jobs in 1 4; do
    for c in "${clash_cases[@]}"; do
        IFS='|' read -r command args refused holds printed <<<"$c"
        rm -rf out && mkdir out && "$conv" encode b.bmp out/b.carrier.png
        # shellcheck disable=SC2086
        check "$command --jobs $jobs: $args" run 1 $command --jobs $jobs --out-dir out $args
        for file in $refused; do
            others=$(printf '%s\n' $refused | grep -vxF -- "$file" | tr '\n' ' ')
            line=$(grep -F -- "gfx16conv: $file: not converted: " err.txt | head -n 1)
            named=1
            for other in $others; do [[ "$line" == *" $other"* ]] || named=0; done
            check "...refuses $file, naming $others" [ -n "$line" ] && [ "$named" = 1 ]
        done
        rm -f out/b.carrier.png
        # shellcheck disable=SC2086
        check "...converts the others" folder_holds out $holds
        check "...and counts them all" [ "$(tr '\n' ';' <out.txt)" = "$printed;" ]
    done
done
# An output that is a link leads where the link does; an output that is
# another file of the batch would be replaced while it may still be read.
rm -rf out && mkdir out && cp b.carrier.bmp out/ && ln -s b.carrier.bmp out/c.carrier.bmp && cp a.bmp c.bmp
check "outputs that are one file through a link" run 1 encode --out-dir out b.bmp c.bmp
check "...are refused" [ "$(grep -c ': not converted: out/[bc].carrier.bmp is also the output of [bc].bmp$' err.txt)" = 2 ]
rm -rf out c.bmp && mkdir out && cp a.png out/x.png && cp a.bmp out/x.carrier.bmp
check "an output that is another input" run 1 encode --out-dir out out/x.png out/x.carrier.bmp
check "...is refused" said "gfx16conv: out/x.png: not converted: out/x.carrier.bmp is out/x.carrier.bmp, another file of this run"
check "...and that input stays" cmp -s out/x.carrier.bmp a.bmp
check "...while the other is converted" [ -e out/x.carrier.carrier.bmp ]
rm -rf out

# ---- The output folder ----------------------------------------------------------
# Each case: the folder, the status, the mode it then has (or "none").
touch plain.txt
dir_cases=(
    "new|0|750"
    "new/|0|750"
    "missing/new|1|none"
    "plain.txt|1|none"
)
for c in "${dir_cases[@]}"; do
    IFS='|' read -r dir status mode <<<"$c"
    check "--out-dir $dir" bash -c "umask 027; '$conv' encode --out-dir '$dir' b.bmp >out.txt 2>err.txt; [ \$? = $status ]"
    if [ "$mode" = none ]; then
        check "...says why, naming it" bash -c "grep -q '^gfx16conv: $dir: ' err.txt && [ \$(wc -l <err.txt) = 1 ]"
    else
        check "...is made, mode $mode" [ "$(stat -c %a "$dir")" = "$mode" ]
        check "...and holds the carrier" cmp -s "$dir/b.carrier.bmp" b.carrier.bmp
    fi
    rm -rf new
done
check "a missing folder's parent is not made" [ ! -e missing ]

# ---- Progress and count ----------------------------------------------------------
echo "not a picture" >bad.bmp
mkdir out && cp a.jpg one.jpg
check "a batch with a bad file" run 1 encode --jobs 2 --out-dir out a.png bad.bmp b.bmp one.jpg
check "...a line each for the files done" [ "$(head -n 3 out.txt | sed -E 's/^\[[1-4]\/4\] //' | sort | tr '\n' '|')" = \
    "a.png -> out/a.carrier.bmp|b.bmp -> out/b.carrier.bmp|one.jpg -> out/one.carrier.bmp|" ]
check "...each with a count of its own" [ "$(head -n 3 out.txt | cut -d' ' -f1 | sort -u | wc -l)" = 3 ]
check "...and the count last" [ "$(sed -n '4,$p' out.txt)" = "3 succeeded, 1 failed" ]
check "...the bad file on stderr" [ "$(cat err.txt)" = "gfx16conv: bad.bmp: cannot load the picture: not a picture file this program reads: it is none of BMP, PNG, JPEG, WebP, TGA and PCX" ]
check "a batch without failures" run 0 decode --out-dir out out/b.carrier.bmp
check "...counts too" [ "$(cat out.txt)" = "$(printf '[1/1] out/b.carrier.bmp -> out/b.decoded.bmp\n1 succeeded, 0 failed')" ]
check "--quiet" run 1 encode --quiet --out-dir out b.bmp bad.bmp
check "...prints the errors alone" bash -c "[ ! -s out.txt ] && [ \$(wc -l <err.txt) = 1 ] && grep -q '^gfx16conv: bad.bmp: ' err.txt"
rm -rf out bad.bmp one.jpg

# ---- Standard output that cannot be written --------------------------------------
for args in "info a.png" "compare a.png a.bmp" "encode --stats a.png stats.bmp" "encode --out-dir out b.bmp"; do
    # shellcheck disable=SC2086
    check "$args into /dev/full" bash -c "'$conv' $args >/dev/full 2>err.txt; [ \$? = 1 ]"
    check "...says so" said "gfx16conv: standard output: No space left on device"
done
rm -rf out stats.bmp

# ---- info: any kind of file, read no further than needed ------------------------
"$conv" encode a.bmp carrier.png || exit 1
"$python" - <<'EOF'
import struct
from PIL import Image
Image.new("P", (9, 1)).save("row.bmp")
Image.new("LA", (5, 4)).save("grey-alpha.png")
# A 20000 x 20000 photo's header, the rest of the 1.2 GB a hole.
stride = 20000 * 3
with open("huge.bmp", "wb") as f:
    f.write(struct.pack("<2sIHHI", b"BM", 54 + stride * 20000, 0, 0, 54))
    f.write(struct.pack("<IiiHHIIiiII", 40, 20000, 20000, 1, 24, 0, stride * 20000, 2835, 2835, 0, 0))
    f.truncate(54 + stride * 20000)
EOF
truncate -s 1G zeros.bin
mkfifo fifo
picture_line="BMP, 24 x 16, not a carrier (24-bit BMP, not paletted)"
# Each case: how the file is given, and the line info prints after its name.
info_cases=(
    "b.carrier.bmp|BMP, 24 x 32, a carrier of a 24 x 16 picture"
    "carrier.png|PNG, 24 x 32, a carrier of a 24 x 16 picture"
    "a.bmp|$picture_line"
    "a.png|PNG, 24 x 16, not a carrier (8-bit RGB PNG, not 8-bit palette or 8-bit grey)"
    "grey-alpha.png|PNG, 5 x 4, not a carrier (8-bit grey+alpha PNG, not 8-bit palette or 8-bit grey)"
    "a.jpg|JPEG, 24 x 16, not a carrier (JPEG picture, not BMP or PNG)"
    "row.bmp|BMP, 9 x 1, not a carrier (1 row, not 2 or more)"
    "--max-pixels 0 huge.bmp|BMP, 20000 x 20000, not a carrier (24-bit BMP, not paletted)"
    "- <a.bmp|$picture_line"
    "- < <(cat a.bmp)|$picture_line"
    "- < <(cat a.bmp /dev/zero)|$picture_line"
    "- < <(cat carrier.png)|PNG, 24 x 32, a carrier of a 24 x 16 picture"
    "fifo|$picture_line"
)
for c in "${info_cases[@]}"; do
    IFS='|' read -r given line <<<"$c"
    name=${given##* }
    case $given in "- "*) name=-;; esac
    # The writer comes late, as a slow one does (info must wait for it, not
    # take the empty FIFO for an empty file); its open waits for a reader:
    # it too must end if none comes.
    [ "$given" != fifo ] || timeout 30 bash -c 'sleep 0.5; cat a.bmp >fifo' &
    # Within 1 GB of address space: the 1.2 GB file is not read whole.
    check "info $given" bash -c "ulimit -v 1000000; timeout 20 '$conv' info $given >out.txt 2>err.txt"
    check "...is '$line'" [ "$(cat out.txt)" = "$name: $line" ]
    wait
done
for given in "zeros.bin" "- </dev/zero"; do
    check "info $given" bash -c "ulimit -v 1000000; timeout 20 '$conv' info $given >out.txt 2>err.txt; [ \$? = 1 ]"
    check "...is no picture" grep -q ": not a picture file this program reads" out.txt
done
rm -f huge.bmp zeros.bin fifo row.bmp grey-alpha.png

# ---- --stats from a pipe, and beside a carrier on standard output ----------------
"$conv" encode a.png stats-file.bmp && "$conv" decode stats-file.bmp decoded.bmp && "$conv" compare a.png decoded.bmp >numbers.txt
check "--stats from a pipe" bash -c "cat a.png | '$conv' encode --stats - from-pipe.bmp >out.txt 2>err.txt"
check "...prints the numbers compare gives" cmp -s out.txt numbers.txt
check "...beside the carrier a file gives" cmp -s from-pipe.bmp stats-file.bmp
check "--stats, the carrier on standard output" bash -c "'$conv' encode --stats a.png - >to-stdout.bmp 2>err.txt"
check "...keeps the carrier whole" cmp -s to-stdout.bmp stats-file.bmp
check "...and puts the numbers on stderr" cmp -s err.txt numbers.txt
rm -f stats-file.bmp decoded.bmp numbers.txt from-pipe.bmp to-stdout.bmp

# ---- --max-pixels past any picture ------------------------------------------------
# A small PNG with 65 MiB of a private chunk (a hole on disk) before its
# pixels: a limit that wrapped round would cap the file's bytes at 64 MiB.
"$python" - <<'EOF'
import struct, zlib
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
w, h, pad = 16, 8, 65 << 20
raw = b"".join(b"\0" + bytes((x * 5 + y * 9) & 255 for x in range(3 * w)) for y in range(h))
with open("padded.png", "wb") as f:
    f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)))
    f.write(struct.pack(">I", pad) + b"zeRo")
    f.seek(pad, 1)
    f.write(struct.pack(">I", zlib.crc32(bytes(pad), zlib.crc32(b"zeRo"))))
    f.write(chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))
EOF
for limit in 1152921504606846976 18446744073709551615 0; do
    check "--max-pixels $limit" run 0 encode --max-pixels $limit padded.png padded.bmp
done
rm -f padded.png padded.bmp

# ---- --opt=value as --opt value ---------------------------------------------------
for form in "--max-pixels 383" "--max-pixels=383"; do
    # shellcheck disable=SC2086
    check "$form" run 1 encode $form a.bmp new.bmp
    check "...is the limit" said "picture of 384 pixels, more than the limit of 383"
done
check "--out-dir=DIR --jobs=2" run 0 encode --out-dir=made --jobs=2 b.bmp
check "...writes into DIR" cmp -s made/b.carrier.bmp b.carrier.bmp
check "compare --diff=OUT" run 0 compare --diff=diff.png a.png a.bmp
check "...writes OUT" [ -s diff.png ]
rm -rf made diff.png new.bmp

finish
