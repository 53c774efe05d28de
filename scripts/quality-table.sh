#!/bin/bash
# README's tables of size and quality: for the sample picture and a
# photo-like one, the carrier (as BMP and as PNG) of each encoder beside
# other ways to store the picture, measured with `gfx16conv compare`
# against the picture itself.
#   scripts/quality-table.sh      (prints Markdown; BUILD_DIR: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
conv=$build/gfx16conv
scripts/build.sh >/dev/null
cmake --build "$build" --target gfx16bench >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 scripts/make-sample.py "$work/sample.bmp"
/usr/bin/python3 scripts/make-sample.py --photo --size 1024x768 "$work/photo.bmp"
"$build/bench/gfx16bench" --write-bmp "$work/shapes.bmp" --size 1024

size_of() { stat -c %s "$1"; }
# "PSNR | SSIM | CIEDE2000" of a picture against the original.
quality() {
    "$conv" compare "$1" "$2" |
        awk '/^PSNR/ { p = $2 } /^SSIM/ { s = $2 } /^CIEDE2000/ { d = $2 } END { printf "%s | %s | %s", p, s, d }'
}
row() {  # row WHAT FILE DECODED ORIGINAL
    printf '| %s | %s | %s |\n' "$1" "$(size_of "$2")" "$(quality "$4" "$3")"
}

for name in sample photo shapes; do
    in=$work/$name.bmp
    read -r w h < <(identify -format '%w %h\n' "$in")
    case $name in
        sample) echo "**The sample** ($w x $h, \`scripts/make-sample.py\`): hue wheel, hue-by-value field, grey ramps, pure colours" ;;
        photo) echo "**A photo-like picture** ($w x $h, \`scripts/make-sample.py --photo\`): sky, hills, a face, soft noise" ;;
        shapes) echo "**Shaded shapes** ($w x $h, \`gfx16bench --write-bmp\`): gradients, 60 soft-edged shapes, sensor-like noise" ;;
    esac
    echo
    echo "| stored as | bytes | PSNR dB | SSIM | mean CIEDE2000 |"
    echo "|---|---:|---:|---:|---:|"
    for encoder in "" --best "--best --dither"; do
        label=${encoder:-"format's encoder"}
        # shellcheck disable=SC2086
        "$conv" encode $encoder "$in" "$work/c.bmp" 2>/dev/null || continue
        "$conv" encode $encoder "$in" "$work/c.png"
        "$conv" decode "$work/c.bmp" "$work/d.bmp"
        row "carrier, 8-bit BMP, ${label/--/\`--}${encoder:+\`}" "$work/c.bmp" "$work/d.bmp" "$in"
        row "carrier, 8-bit PNG, ${label/--/\`--}${encoder:+\`}" "$work/c.png" "$work/d.bmp" "$in"
    done
    convert "$in" -define bmp:subtype=RGB565 "$work/565.bmp"
    row "RGB565 BMP (ImageMagick)" "$work/565.bmp" "$work/565.bmp" "$in"
    convert "$in" -quality 90 "$work/q90.jpg"
    row "JPEG, quality 90 (ImageMagick)" "$work/q90.jpg" "$work/q90.jpg" "$in"
    convert "$in" "$work/lossless.png"
    row "PNG, 24-bit (ImageMagick)" "$work/lossless.png" "$work/lossless.png" "$in"
    row "BMP, 24-bit" "$in" "$in" "$in"
    echo
done
