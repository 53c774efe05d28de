#!/usr/bin/env bash
# gfx16conv from the outside: its calls, its errors and exit statuses, what
# an output name may be, and that a failed call leaves no file behind or
# changed.
# Usage: gfx16conv.sh BUILD_DIR SOURCE_DIR
set -u
conv="$1/gfx16conv"
src="$2"
python=/usr/bin/python3
# shellcheck source=tests/cli/lib.sh
. "$(dirname "$0")/lib.sh"
# expect_error FILE_NAMED ARGS...: status 1 and one line that names the file
expect_error() {
    local named="$1"; shift
    run 1 "$@" && [ "$(wc -l <err.txt)" -eq 1 ] && grep -q "^gfx16conv: $named: " err.txt ||
        { echo "stderr: $(cat err.txt)"; return 1; }
}
mode_of() { stat -c %a "$1"; }
# The folder holds exactly the files named (hidden ones included).
only_files() {
    [ "$(ls -A | grep -v -x -e out.txt -e err.txt | sort | tr '\n' ' ')" = "$(printf '%s\n' "$@" | sort | tr '\n' ' ')" ] ||
        { echo "folder holds: $(ls -A | tr '\n' ' ')"; return 1; }
}

"$python" "$src/scripts/make-sample.py" --size 101x37 picture.bmp || exit 1

# ---- Calls that work --------------------------------------------------------
for args in "--help" "-h" "encode --help" "compare -h a"; do
    check "$args" run 0 $args
    check "$args prints the usage" grep -q "gfx16conv encode \[OPTIONS\] INPUT CARRIER" out.txt
done
check "--version" run 0 --version
check "--version prints the version" grep -Eq "^gfx16conv [0-9]+\.[0-9]+" out.txt
check "encode" run 0 encode picture.bmp carrier.bmp preview.bmp
check "carrier is an 8-bit BMP of w x 2h" \
    [ "$(identify -format '%m %w %h %z %r' carrier.bmp)" = "BMP3 101 74 8 PseudoClass sRGB " ]
check "preview has the picture's size" [ "$(identify -format '%w %h' preview.bmp)" = "101 37" ]
check "decode" run 0 decode carrier.bmp decoded.bmp
check "decoded picture has the picture's size" [ "$(identify -format '%w %h' decoded.bmp)" = "101 37" ]
check "encode without a preview gives the same carrier" run 0 encode picture.bmp carrier2.bmp
check "same carrier" same carrier.bmp carrier2.bmp
for ext in tga pcx png; do
    check "decode to .$ext" run 0 decode carrier.bmp decoded.$ext
    # ImageMagick leaves a bottom-up TGA upside down unless told to orient it.
    check ".$ext holds the same pixels" \
        [ "$(convert decoded.$ext -auto-orient png:- | compare -metric AE decoded.bmp - null: 2>&1)" = "0" ]
    check ".$ext is opaque" [ "$(identify -format "%[opaque]" decoded.$ext | tr A-Z a-z)" = "true" ]
    check ".$ext reads back and encodes to the same carrier as the BMP" run 0 encode decoded.$ext again.bmp
    run 0 encode decoded.bmp again-from-bmp.bmp
    check "...the same carrier" same again.bmp again-from-bmp.bmp
done
check "a carrier as PNG" run 0 encode picture.bmp carrier.png
check "...decodes to the same picture as the BMP carrier" run 0 decode carrier.png decoded-from-png.bmp
check "...the same picture" same decoded.bmp decoded-from-png.bmp
check "standard input and output" bash -c "'$conv' encode - - <picture.bmp >carrier-piped.bmp"
check "...give the carrier a file gives" same carrier.bmp carrier-piped.bmp
check "decode through pipes" bash -c "cat carrier.bmp | '$conv' decode - - | cat >decoded-piped.bmp"
check "...gives the picture a file gives" same decoded.bmp decoded-piped.bmp
# A valid BMP under any name is read as a BMP.
cp picture.bmp photo.png && cp picture.bmp photo
check "a BMP named .png" run 0 encode photo.png carrier3.bmp
check "...and one with no extension" run 0 encode photo carrier4.bmp
check "...encode as the BMP" bash -c "cmp -s carrier.bmp carrier3.bmp && cmp -s carrier.bmp carrier4.bmp"
rm -f carrier2.bmp carrier3.bmp carrier4.bmp decoded.tga decoded.pcx decoded.png again*.bmp carrier.png \
    decoded-from-png.bmp carrier-piped.bmp decoded-piped.bmp photo.png photo

# ---- Several files, info, compare ------------------------------------------
mkdir in out
cp picture.bmp in/one.bmp
convert picture.bmp in/two.png
convert picture.bmp -quality 90 in/three.jpg
echo "not a picture" >in/bad.bmp
check "a folder of files with a bad one" run 1 encode --jobs 2 --out-dir out in/one.bmp in/bad.bmp in/two.png in/three.jpg
check "...names the bad one" said "gfx16conv: in/bad.bmp: cannot load the picture: not a picture file"
check "...and counts it" [ "$(tail -n 1 out.txt)" = "3 succeeded, 1 failed" ]
check "...converts the others" bash -c "[ \"\$(ls out | tr '\n' ' ')\" = 'one.carrier.bmp three.carrier.bmp two.carrier.bmp ' ]"
check "...as one call each would" same out/one.carrier.bmp carrier.bmp
check "...and says what it wrote" grep -Eqx "\[[1-4]/4\] in/two.png -> out/two.carrier.bmp" out.txt
check "decode a folder, as PNG" run 0 decode --png --quiet --out-dir out out/one.carrier.bmp out/two.carrier.bmp
check "...quietly" [ ! -s out.txt ]
check "...into NAME.decoded.png" bash -c "[ -e out/one.decoded.png ] && [ -e out/two.decoded.png ]"
check "...the pictures one call gives" [ "$(compare -metric AE out/one.decoded.png decoded.bmp null: 2>&1)" = 0 ]
check "encode with previews" run 0 encode --preview -q --out-dir out in/one.bmp
check "...NAME.preview.bmp" same out/one.preview.bmp preview.bmp
rm -rf in out

check "info of what is no picture" run 1 info text.txt
# Hand-checked: black beside white is an error of 255 in every sample (PSNR
# 0 dB); for flat pictures SSIM is C1 / (255^2 + C1), C1 = (0.01 * 255)^2;
# CIEDE2000 is the difference of lightness alone, 100. An offset of 1 in one
# channel of three is an MSE of 1/3: 10 log10(3 * 255^2) = 52.90 dB.
"$python" -c "
from PIL import Image
for name, colour in (('black', (0, 0, 0)), ('white', (255, 255, 255)), ('c1', (10, 20, 30)), ('c2', (11, 20, 30))):
    Image.new('RGB', (16, 12), colour).save(name + '.png')"
check "compare black and white" run 0 compare black.png white.png
check "...gives the hand-checked numbers" [ "$(cat out.txt)" = "$(printf 'PSNR 0.00 dB\nSSIM 0.0001\nCIEDE2000 100.000')" ]
check "compare an offset of 1" run 0 compare --diff diff.png c1.png c2.png
check "...gives 52.90 dB" grep -qx "PSNR 52.90 dB" out.txt
check "...and a difference picture that is not black" [ "$(convert diff.png -format '%[fx:maxima.r>0]' info:)" = 1 ]
check "compare a picture with itself" run 0 compare c1.png c1.png
check "...gives infinity" grep -qx "PSNR inf dB (identical)" out.txt
check "compare pictures of other sizes" expect_error picture.bmp compare black.png picture.bmp
check "encode --stats" run 0 encode --stats picture.bmp stats.bmp
check "...prints the numbers of decoded against the picture" bash -c "grep -q '^PSNR [0-9.]* dB$' out.txt && grep -q '^SSIM 0\.[0-9]*$' out.txt"
"$conv" compare picture.bmp decoded.bmp >compared.txt
check "...the numbers compare gives" cmp -s out.txt compared.txt
rm -f black.png white.png c1.png c2.png diff.png stats.bmp compared.txt

# ---- --best and --dither ----------------------------------------------------
# The nearest code of every pixel, by a search over the colours of all 65536
# codes in the reference table (an implementation of the format that is not
# this one); ties to the lowest code.
check "encode --best" run 0 encode --best picture.bmp best.bmp best-preview.bmp
check "...every code the nearest" "$python" - "$src/tests/golden/decoded-codes.rgb" picture.bmp best.bmp <<'EOF'
import sys
import numpy
from PIL import Image
table = numpy.fromfile(sys.argv[1], dtype=numpy.uint8).reshape(65536, 3).astype(numpy.int32)
picture = numpy.asarray(Image.open(sys.argv[2]).convert("RGB"), dtype=numpy.int32)
carrier = numpy.asarray(Image.open(sys.argv[3]), dtype=numpy.int32)
h, w = picture.shape[:2]
codes = carrier[0::2] + 256 * carrier[1::2]
for y in range(0, h, 3):
    for x in range(0, w, 2):
        d = ((table - picture[y, x]) ** 2).sum(axis=1)
        if codes[y, x] != int(numpy.argmin(d)):  # argmin takes the first, the lowest code
            sys.exit("pixel %d,%d: code %d, the nearest is %d" % (x, y, codes[y, x], numpy.argmin(d)))
EOF
check "...its preview is the decoded carrier" run 0 decode best.bmp best-decoded.bmp
check "...the same pixels" same best-preview.bmp best-decoded.bmp
check "encode --best --dither" run 0 encode --best --dither picture.bmp dither.bmp dither-preview.png
check "...its preview is the decoded carrier" run 0 decode dither.bmp dither-decoded.png
check "...the same pixels" [ "$(compare -metric AE dither-preview.png dither-decoded.png null: 2>&1)" = 0 ]
check "...and not the nearest codes" bash -c "! cmp -s best.bmp dither.bmp"
rm -f best*.bmp dither*

# ---- Bad usage: status 2, what was wrong, and the usage lines -----------------
usage_cases=(
    "|no command given"
    "frobnicate a b|unknown command frobnicate"
    "--help x|--help takes nothing after it"
    "encode|encode needs an input and a carrier"
    "encode picture.bmp|encode needs an input and a carrier"
    "encode a b c d|encode takes an input, a carrier and a preview, no more (--out-dir takes many)"
    "decode carrier.bmp|decode needs a carrier and an output"
    "decode a b c|decode takes a carrier and an output, no more (--out-dir takes many)"
    "compare a|compare needs two pictures"
    "info|info needs a file"
    "encode --out-dir|--out-dir needs a value"
    "encode --out-dir=out|encode --out-dir needs the files to convert"
    "encode --jobs 0 --out-dir . a|--jobs takes a number from 1 to 1024, not 0"
    "encode --max-pixels=x a b|--max-pixels takes a whole number, not x"
    "encode --max-pixels -5 a b|--max-pixels takes a whole number, not -5"
    "encode --best=yes a b|--best takes no value"
    "encode --frob=1 a b|unknown option --frob"
    "encode -x a b|unknown option -x"
    "decode --best a b|--best does not go with decode"
    "encode --png a b|--png, --preview and --jobs go with --out-dir"
    "encode --dither a b|--dither goes with --best"
)
for c in "${usage_cases[@]}"; do
    IFS='|' read -r args reason <<<"$c"
    # shellcheck disable=SC2086
    check "usage: '$args'" run 2 $args
    check "...says '$reason'" [ "$(head -n 1 err.txt)" = "gfx16conv: $reason" ]
    check "...then the usage lines" [ "$(sed -n 2p err.txt | cut -c1-16)" = "usage: gfx16conv" ]
done

# ---- Errors: status 1, one line naming the file, nothing written ----------
mkdir old && cp carrier.bmp decoded.bmp old/
echo "not a picture" >text.txt
check "missing input" expect_error nothing.bmp encode nothing.bmp new.bmp
check "input that is no picture" expect_error text.txt encode text.txt new.bmp
check "...says so" said "not a picture file this program reads: it is none of BMP, PNG, JPEG, WebP, TGA and PCX"
convert picture.bmp whole.png && head -c 2000 whole.png >cut.png
convert picture.bmp -quality 90 whole.jpg && head -c 1500 whole.jpg >cut.jpg
check "a PNG cut short" expect_error cut.png encode cut.png new.bmp
check "a JPEG cut short" expect_error cut.jpg encode cut.jpg new.bmp
rm -f whole.png whole.jpg cut.png cut.jpg
check "unknown preview format" expect_error new.jpg encode picture.bmp new.bmp new.jpg
check "unknown output format" expect_error new.jpg decode carrier.bmp new.jpg
check "missing carrier" expect_error nothing.bmp decode nothing.bmp new.bmp
check "a 24-bit picture is no carrier" expect_error picture.bmp decode picture.bmp new.bmp
check "...says what it is" said "not a carrier: 24-bit BMP, not paletted"
check "unwritable output" expect_error "no/such/folder/new.bmp" decode carrier.bmp no/such/folder/new.bmp
check "an output that is a folder" expect_error "old/" encode picture.bmp old/
check "...says so" said "is a folder"
check "an output that is the input" expect_error picture.bmp encode picture.bmp new.bmp picture.bmp
ln picture.bmp alias.bmp
check "...under another name" expect_error alias.bmp encode picture.bmp alias.bmp
check "two outputs that are one file" expect_error new.bmp encode picture.bmp new.bmp new.bmp
check "...also when it is there" expect_error ./carrier.bmp encode picture.bmp carrier.bmp ./carrier.bmp
check "the input is unchanged" same picture.bmp alias.bmp
rm alias.bmp
# All or nothing: a second output that cannot be written leaves the first.
check "a call with one bad output of two" expect_error "no/such/folder/p.bmp" encode picture.bmp carrier.bmp no/such/folder/p.bmp
check "...leaves the other as it was" same carrier.bmp old/carrier.bmp
check "...and writes no new file" run 1 encode picture.bmp fresh.bmp no/such/folder/p.bmp
check "nothing written by the failed calls" only_files carrier.bmp decoded.bmp old picture.bmp preview.bmp text.txt

# ---- What an output may be --------------------------------------------------
cp carrier.bmp private.bmp && chmod 600 private.bmp
check "an old output" run 0 encode picture.bmp private.bmp
check "...keeps its permissions" [ "$(mode_of private.bmp)" = 600 ]
cp carrier.bmp kept.bmp && printf 'x' >>kept.bmp && chmod 444 kept.bmp
cp kept.bmp kept-before.bmp
check "a write-protected output is refused" expect_error kept.bmp encode picture.bmp kept.bmp
check "...saying how to replace it" said "is write-protected (--force replaces it)"
check "...and stays" same kept.bmp kept-before.bmp
check "--force replaces it" run 0 encode --force picture.bmp kept.bmp
check "...keeping its permissions" [ "$(mode_of kept.bmp)" = 444 ]
check "...with the carrier" same kept.bmp carrier.bmp
mkdir elsewhere && cp old/carrier.bmp elsewhere/target.bmp && printf 'x' >>elsewhere/target.bmp
ln -s elsewhere/target.bmp link.bmp
check "a link as output" run 0 encode picture.bmp link.bmp
check "...stays a link" [ -L link.bmp ]
check "...and the file it points to is replaced" same elsewhere/target.bmp carrier.bmp
check "...in its own folder, with nothing left there" [ "$(ls -A elsewhere)" = target.bmp ]
check "/dev/stdout into a pipe" bash -c "'$conv' encode picture.bmp /dev/stdout | cat >from-stdout.bmp"
check "...is written through" same from-stdout.bmp carrier.bmp
check "/dev/null as output" run 0 encode picture.bmp /dev/null
check "...is still the device" [ -c /dev/null ]
mkfifo pipe.bmp
cat pipe.bmp >from-pipe.bmp &
check "a FIFO as output" run 0 encode picture.bmp pipe.bmp
wait
check "...is written through" same from-pipe.bmp carrier.bmp
check "...and stays a FIFO" [ -p pipe.bmp ]
long=$(printf 'n%.0s' $(seq 1 251)).bmp
check "an output name of 255 characters" run 0 encode picture.bmp "$long"
check "...holds the carrier" same "$long" carrier.bmp
ln -s /dev/full full.tga
check "a full disk" expect_error full.tga decode carrier.bmp full.tga
check "...is the system's reason" said "No space left on device"
rm -rf private.bmp kept.bmp kept-before.bmp elsewhere link.bmp pipe.bmp from-pipe.bmp "$long" full.tga from-stdout.bmp

# ---- Sizes ------------------------------------------------------------------
"$python" - <<'EOF'
import struct
w, h = 4, 16385
with open("tall.bmp", "wb") as f:
    f.write(struct.pack("<2sIHHI", b"BM", 54 + 12 * h, 0, 0, 54))
    f.write(struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, 12 * h, 2835, 2835, 0, 0))
    f.write(bytes((y * 7 + x) % 256 for y in range(h) for x in range(12)))
EOF
check "a picture of 16385 rows encodes" run 0 encode tall.bmp tall-carrier.bmp
check "...and its carrier of 32770 rows decodes" run 0 decode tall-carrier.bmp tall-decoded.bmp
check "...to the picture's size" [ "$(od -A n -t d4 -j 18 -N 8 tall-decoded.bmp | tr -s ' ')" = " 4 16385" ]
check "a pixel limit" expect_error picture.bmp encode --max-pixels 3736 picture.bmp new.bmp
check "...names itself" said "picture of 3737 pixels, more than the limit of 3736 (raise it with --max-pixels)"
check "...can be raised" run 0 encode --max-pixels 3737 picture.bmp new.bmp
# A 20000 x 20000 photo's header (the rest of the file is a hole): no carrier,
# and decode says so from the header, without reading the pixels.
"$python" - <<'EOF'
import struct
stride = 20000 * 3
with open("huge.bmp", "wb") as f:
    f.write(struct.pack("<2sIHHI", b"BM", 54 + stride * 20000, 0, 0, 54))
    f.write(struct.pack("<IiiHHIIiiII", 40, 20000, 20000, 1, 24, 0, stride * 20000, 2835, 2835, 0, 0))
    f.truncate(54 + stride * 20000)
EOF
check "decode of a huge photo" expect_error huge.bmp decode huge.bmp new.bmp
check "...is refused from its header" said "not a carrier"
rm -f tall*.bmp huge.bmp new.bmp

# ---- Streaming ----------------------------------------------------------------
# Files larger than one slice of rows, read and written a slice at a time,
# either row order, give what the same picture held whole (a PNG) gives.
"$python" - <<'EOF'
import struct
from PIL import Image
w, h = 2048, 1100
rows = [bytes(((x * 7 + y * 3) ^ (x >> 3) ^ (y * x >> 7)) & 255 for x in range(3 * w)) for y in range(h)]
for name, top_down in (("slices.bmp", False), ("slices-topdown.bmp", True)):
    with open(name, "wb") as f:
        f.write(struct.pack("<2sIHHI", b"BM", 54 + 3 * w * h, 0, 0, 54))
        f.write(struct.pack("<IiiHHIIiiII", 40, w, -h if top_down else h, 1, 24, 0, 3 * w * h, 2835, 2835, 0, 0))
        for y in (range(h) if top_down else range(h - 1, -1, -1)):
            f.write(rows[y])
def rgb(row):  # the file's blue, green, red as red, green, blue
    out = bytearray(row)
    out[0::3], out[2::3] = row[2::3], row[0::3]
    return bytes(out)
Image.frombytes("RGB", (w, h), b"".join(rgb(r) for r in rows)).save("slices.png")
EOF
check "a picture of several slices" run 0 encode slices.bmp slices-carrier.bmp slices-preview.bmp
check "...top-down" run 0 encode slices-topdown.bmp slices-carrier2.bmp slices-preview2.bmp
check "...held whole" run 0 encode slices.png slices-carrier.png slices-preview.png
check "...to a stream" bash -c "'$conv' encode slices-topdown.bmp - >slices-carrier3.bmp"
check "...all give one carrier" bash -c "cmp -s slices-carrier.bmp slices-carrier2.bmp && cmp -s slices-carrier.bmp slices-carrier3.bmp"
check "...as the PNG" [ "$(compare -metric AE slices-carrier.bmp slices-carrier.png null: 2>&1)" = 0 ]
check "...and one preview" same slices-preview.bmp slices-preview2.bmp
check "...as the PNG's" [ "$(compare -metric AE slices-preview.bmp slices-preview.png null: 2>&1)" = 0 ]
check "a carrier of several slices decodes" run 0 decode slices-carrier.bmp slices-decoded.bmp
check "...as the PNG carrier" run 0 decode slices-carrier.png slices-decoded2.bmp
check "...to a stream" bash -c "'$conv' decode slices-carrier.bmp - >slices-decoded3.bmp"
check "...all the same" bash -c "cmp -s slices-decoded.bmp slices-decoded2.bmp && cmp -s slices-decoded.bmp slices-decoded3.bmp"
rm -f slices*

# ---- Signals and limits -------------------------------------------------------
# A save that fails part way (a file-size limit; permission bits do not
# stop root) leaves the old file, no temporary file, and says why.
check "a file-size limit" bash -c "ulimit -f 2; '$conv' decode carrier.bmp decoded.bmp 2>err.txt; [ \$? = 1 ]"
check "...is reported" said "File too large"
check "...keeps the old output" same decoded.bmp old/decoded.bmp
check "...and the old carrier" bash -c "ulimit -f 2; '$conv' encode picture.bmp carrier.bmp 2>/dev/null; [ \$? = 1 ]"
check "...intact" same carrier.bmp old/carrier.bmp
check "...leaves no temporary file" only_files carrier.bmp decoded.bmp old picture.bmp preview.bmp text.txt
# Little memory: a message and status 1, or done; never an abort.
for limit in 20000 40000 80000; do
    status=0
    bash -c "ulimit -v $limit; exec '$conv' encode picture.bmp tight.bmp" 2>err.txt || status=$?
    check "encode under ulimit -v $limit ends with 0 or 1 ($status)" [ "$status" -le 1 ]
    [ "$status" = 0 ] || check "...with one line" [ "$(wc -l <err.txt)" = 1 ]
    rm -f tight.bmp
done

finish
