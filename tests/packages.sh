#!/bin/bash
# The Debian packages as a user gets them: made with scripts/package.sh from
# the build (lintian errors fail), unpacked with dpkg-deb -x into a folder,
# and used from there alone: the golden client compiled against the unpacked
# libgfx16-dev with pkg-config and run on the unpacked libgfx16-1 against the
# reference digests, the example built with find_package, the unpacked
# gfx16conv's decoded picture against the reference colours of its
# carrier's codes, and the unpacked Python module decoding that carrier
# alike. Each package must hold its own files and no other, and every
# library a packaged binary links must come from a package it depends on.
#   packages.sh BUILD_DIR SOURCE_DIR WITH_PYTHON(0|1)
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
with_python=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
failed=0
fail() {
    echo "FAIL: $*"
    failed=1
}

BUILD_DIR=$build "$src/scripts/package.sh" --built "$work/debs" >"$work/package.log" 2>&1 ||
    { cat "$work/package.log"; echo "FAIL: package.sh"; exit 1; }
expected="gfx16 libgfx16-1 libgfx16-dev"
[ "$with_python" = 1 ] && expected="$expected python3-gfx16"
made=$(for deb in "$work"/debs/*.deb; do dpkg-deb -f "$deb" Package; done | sort | xargs)
[ "$made" = "$expected" ] || fail "packages made: $made; expected $expected"

# What each package holds besides its copyright and changelog (lib* for a
# multiarch library folder).
declare -A holds=(
    [libgfx16-1]='usr/lib*/libgfx16.so.1 usr/lib*/libgfx16.so.1.*'
    [libgfx16-dev]='usr/include/gfx16/codec.h usr/lib*/libgfx16.so usr/lib*/pkgconfig/gfx16.pc
        usr/lib*/cmake/gfx16/gfx16Config.cmake usr/lib*/cmake/gfx16/gfx16*.cmake
        usr/share/doc/libgfx16-dev/examples/CMakeLists.txt usr/share/doc/libgfx16-dev/examples/ppm_roundtrip.c'
    [gfx16]='usr/bin/gfx16conv usr/bin/gfx16 usr/bin/gfx16-encode usr/share/man/man1/gfx16conv.1.gz
        usr/share/man/man1/gfx16.1.gz usr/share/man/man1/gfx16-encode.1.gz'
    [python3-gfx16]='usr/lib/python3/dist-packages/gfx16.cpython-*.so'
)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
# What each packaged binary links, against what its package depends on: the
# package that holds the library on this system, or ours.
for deb in "$work"/debs/*.deb; do
    name=$(dpkg-deb -f "$deb" Package)
    depends=$(dpkg-deb -f "$deb" Depends | sed 's/([^)]*)//g; s/[,|]/ /g')
    mkdir -p "$work/one/$name"
    dpkg-deb -x "$deb" "$work/one/$name"
    files=$(find "$work/one/$name" ! -type d -printf '%P\n' |
        grep -v -x -e "usr/share/doc/$name/copyright" -e "usr/share/doc/$name/changelog.Debian.gz" || true)
    for pattern in ${holds[$name]}; do
        matched=0
        for file in $files; do
            # shellcheck disable=SC2053
            [[ $file == $pattern ]] && matched=1
        done
        [ "$matched" = 1 ] || fail "$name holds no $pattern"
    done
    for file in $files; do
        matched=0
        for pattern in ${holds[$name]}; do
            # shellcheck disable=SC2053
            [[ $file == $pattern ]] && matched=1
        done
        [ "$matched" = 1 ] || fail "$name holds $file"
    done
    while read -r file; do
        for lib in $(objdump -p "$file" | awk '/NEEDED/ { print $2 }'); do
            if [ "$lib" = libgfx16.so.1 ]; then
                owner=libgfx16-1
            else
                owner=$(dpkg -S "*/$multiarch/$lib" 2>/dev/null | head -1 | cut -d: -f1)
            fi
            case " $depends " in
            *" $owner "*) ;;
            *) fail "$name: ${file#"$work"/one/} needs $lib (of $owner), not in Depends: $depends" ;;
            esac
        done
    done < <(find "$work/one/$name" -type f -exec sh -c 'file -b "$1" | grep -q ^ELF' _ {} \; -print)
done

# The library's two packages alone, as a developer installs them.
for name in libgfx16-1 libgfx16-dev; do
    dpkg-deb -x "$work"/debs/${name}_*.deb "$root"
done
pc=$(find "$root" -name gfx16.pc)
libdir=$(dirname "$(find "$root" -name 'libgfx16.so.1')")
PKG_CONFIG_LIBDIR=$(dirname "$pc")
export PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_LIBDIR PKG_CONFIG_PATH=
export LD_LIBRARY_PATH=$libdir
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror -O2 -pthread -o "$work/codec_golden" "$src/tests/codec_golden.c" \
    $(pkg-config --cflags --libs gfx16)
loaded=$(ldd "$work/codec_golden" | awk '/libgfx16/ { print $3 }')
[ "$loaded" = "$libdir/libgfx16.so.1" ] || fail "the golden client loads $loaded, not the unpacked library"
mkdir "$work/out"
"$work/codec_golden" "$src/tests/golden" "$work/out" || fail "codec_golden on the unpacked library"
(cd "$work/out" && awk '{ print $3 "  " $1 "." $2 }' "$src/tests/golden/SHA256SUMS.txt" | sha256sum --quiet -c) ||
    fail "digests of the unpacked library"

cmake -S "$root/usr/share/doc/libgfx16-dev/examples" -B "$work/example" -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null
cmake --build "$work/example" >/dev/null

# The unpacked gfx16conv encodes and decodes; the decoded picture must hold
# the reference colour of each code of the carrier, as Pillow reads both,
# and the example's carrier file and decoding of the same picture must be
# gfx16conv's.
/usr/bin/python3 "$src/scripts/make-sample.py" --photo --size 61x37 "$work/picture.bmp"
/usr/bin/python3 -c 'import sys; from PIL import Image; Image.open(sys.argv[1]).save(sys.argv[2])' \
    "$work/picture.bmp" "$work/picture.ppm"
"$work/one/gfx16/usr/bin/gfx16conv" encode "$work/picture.bmp" "$work/carrier.bmp"
"$work/one/gfx16/usr/bin/gfx16conv" decode "$work/carrier.bmp" "$work/decoded.bmp"
"$work/example/ppm_roundtrip" "$work/picture.ppm" "$work/example.bmp" "$work/example.ppm" >/dev/null
cmp -s "$work/example.bmp" "$work/carrier.bmp" || fail "the example's carrier file is not gfx16conv's"
/usr/bin/python3 - "$work" "$src/tests/golden/decoded-codes.rgb" <<'EOF' || fail "gfx16conv's or the example's decoded picture"
import sys
import numpy as np
from PIL import Image
work, table = sys.argv[1], np.fromfile(sys.argv[2], np.uint8).reshape(-1, 3)
carrier = np.asarray(Image.open(work + "/carrier.bmp")).astype(np.intp)
codes = carrier[0::2] + 256 * carrier[1::2]
decoded = np.asarray(Image.open(work + "/decoded.bmp").convert("RGB"))
example = np.asarray(Image.open(work + "/example.ppm"))
sys.exit(0 if decoded.shape[:2] == (37, 61) and (decoded == table[codes]).all() and (example == decoded).all() else 1)
EOF

if [ "$with_python" = 1 ]; then
    module=$(find "$work/one/python3-gfx16" -name 'gfx16*.so' -path '*python3*')
    PYTHONPATH=$(dirname "$module") /usr/bin/python3 - "$module" "$work" \
        "$(dpkg-deb -f "$work"/debs/python3-gfx16_*.deb Version | cut -d- -f1)" <<'EOF' || fail "the unpacked Python module"
import sys
import numpy as np
from PIL import Image
import gfx16
module, work, version = sys.argv[1:]
assert gfx16.__file__ == module and gfx16.__version__ == version, (gfx16.__file__, gfx16.__version__)
carrier = gfx16.carrier_from_bmp(open(work + "/carrier.bmp", "rb").read())
assert (gfx16.decode(carrier) == np.asarray(Image.open(work + "/decoded.bmp").convert("RGB"))).all()
EOF
fi

[ "$failed" = 0 ] && echo "ok - the packages: lintian, dependencies, golden digests, gfx16conv"
exit $failed
