#!/bin/bash
# The codec library as its users get it: `cmake --install` into a folder,
# then a C program compiled against the installed package with pkg-config
# (tests/codec_golden.c) checked against the reference results in
# tests/golden, the version it reports against the package's, and the
# example program (examples/) built with CMake's find_package and run on a
# picture: its carrier file and its decoded picture against gfx16conv's.
#   codec_golden.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
pc=$(find "$prefix" -name gfx16.pc)
libdir=$(dirname "$(dirname "$pc")")
for f in include/gfx16/codec.h "${libdir#"$prefix"/}/cmake/gfx16/gfx16Config.cmake" bin/gfx16conv \
         share/man/man1/gfx16conv.1; do
    [ -e "$prefix/$f" ] || { echo "FAIL: cmake --install did not install $f"; exit 1; }
done
# The library needs nothing but the C and C++ runtimes and threads.
others=$(objdump -p "$libdir"/libgfx16.so | awk '/NEEDED/ { print $2 }' |
    grep -v -E '^(libstdc\+\+|libm|libgcc_s|libc|libpthread)\.so|^ld-linux' || true)
[ -z "$others" ] || { echo "FAIL: libgfx16 needs $others"; exit 1; }
# Only the calls of the public header leave the library.
exported=$(nm -D --defined-only "$libdir"/libgfx16.so | awk '{ print $3 }' | grep -v '^gfx16_' || true)
[ -z "$exported" ] || { echo "FAIL: libgfx16 exports more than its calls: $exported"; exit 1; }

export PKG_CONFIG_PATH=$(dirname "$pc")
export LD_LIBRARY_PATH=$libdir
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror -O2 -pthread -o "$work/codec_golden" "$src/tests/codec_golden.c" \
    $(pkg-config --cflags --libs gfx16)
mkdir "$work/out"
"$work/codec_golden" "$src/tests/golden" "$work/out" | tee "$work/report"

# One version everywhere: the library's, the package's, its SONAME's major.
version=$(awk '/^version / { print $2 }' "$work/report")
soname=$(objdump -p "$libdir"/libgfx16.so | awk '/SONAME/ { print $2 }')
cmake_version=$(sed -n 's/^set(PACKAGE_VERSION "\(.*\)")$/\1/p' "$libdir/cmake/gfx16/gfx16ConfigVersion.cmake")
if [ "$(pkg-config --modversion gfx16)" = "$version" ] && [ "$cmake_version" = "$version" ] &&
   [ "$soname" = "libgfx16.so.${version%%.*}" ]; then
    echo "ok - version $version, $soname, in pkg-config and the CMake package"
else
    echo "FAIL: version $version, pkg-config $(pkg-config --modversion gfx16), CMake $cmake_version, $soname"
    exit 1
fi

failed=0
while read -r name kind digest; do  # e.g. "every-colour carrier <sha>"
    file=$work/out/$name.${kind}
    got=$(sha256sum "$file" | cut -d' ' -f1)
    if [ "$got" = "$digest" ]; then
        echo "ok - $name $kind: the reference digest"
    else
        echo "FAIL: $name $kind: SHA-256 $got, the reference is $digest"
        failed=1
    fi
done <"$src/tests/golden/SHA256SUMS.txt"

# The example, built as a user of the CMake package builds it.
cmake -S "$src/examples" -B "$work/example" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/example" >/dev/null
/usr/bin/python3 "$src/scripts/make-sample.py" --photo --size 97x61 "$work/picture.bmp"
convert "$work/picture.bmp" "ppm:$work/picture.ppm"
"$work/example/ppm_roundtrip" "$work/picture.ppm" "$work/example-carrier.bmp" "$work/decoded.ppm"
"$build/gfx16conv" encode "$work/picture.bmp" "$work/carrier.bmp"
"$build/gfx16conv" decode "$work/carrier.bmp" "$work/decoded.bmp"
# 97 wide: every row of the carrier file padded.
if cmp -s "$work/example-carrier.bmp" "$work/carrier.bmp"; then
    echo "ok - gfx16_carrier_to_bmp writes gfx16conv's carrier file, byte for byte"
else
    echo "FAIL: the example's carrier file differs from gfx16conv's: $(cmp "$work/example-carrier.bmp" "$work/carrier.bmp")"
    failed=1
fi
differ=$(compare -metric AE "$work/decoded.ppm" "$work/decoded.bmp" null: 2>&1 || true)
if [ "$differ" = 0 ]; then
    echo "ok - the example decodes what gfx16conv decodes"
else
    echo "FAIL: the example's picture differs from gfx16conv's in $differ pixels"
    failed=1
fi
exit $failed
