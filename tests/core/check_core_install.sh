#!/usr/bin/env bash
# Installs the build tree into a scratch prefix and checks what an application of the core
# library gets: the library under its soname with only the cbmpcore_* symbols, the header, and a C
# program built once through pkg-config (from a moved copy of the tree) and once through
# find_package(cbmp), each run on a real bitmap.
# Usage: check_core_install.sh <build dir> <scratch dir> <C compiler> <CMake generator> <sample.bmp>
set -euo pipefail
build=$1 scratch=$2 cc=$3 generator=$4 sample=$5
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$scratch"
mkdir -p "$scratch"
prefix=$scratch/prefix

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

cmake --install "$build" --prefix "$prefix" >"$scratch/install.log"
libdir=$(dirname "$(find "$prefix" -name 'libcbmpcore.so.1' | head -n 1)")
[ -n "$libdir" ] || fail "libcbmpcore.so.1 not installed"
for f in "$prefix/include/cbmpcore.h" "$libdir/libcbmpcore.so" "$libdir/pkgconfig/cbmpcore.pc"; do
    [ -e "$f" ] || fail "$f not installed"
done
[ "$(readlink "$libdir/libcbmpcore.so.1")" = libcbmpcore.so.1.0.0 ] || fail "soname link"
objdump -p "$libdir/libcbmpcore.so.1" | grep -q 'SONAME *libcbmpcore.so.1$' || fail "soname"
exports=$(nm -D --defined-only "$libdir/libcbmpcore.so.1" | awk '$2 == "T" {print $3}' | sort)
expected=$(printf '%s\n' cbmpcore_compress cbmpcore_compress_file cbmpcore_compress_file_observed \
    cbmpcore_decompress cbmpcore_decompress_file cbmpcore_decompress_file_observed cbmpcore_free \
    cbmpcore_read_info cbmpcore_result_text \
    cbmpcore_version | sed 's/$/@@CBMPCORE_1/' | sort)
[ "$exports" = "$expected" ] || fail "exports: $exports"

cp -a "$prefix" "$scratch/moved"
moved_libdir=${libdir/#$prefix/$scratch/moved}
export PKG_CONFIG_PATH=$moved_libdir/pkgconfig
[ "$(pkg-config --modversion cbmpcore)" = 1.0.0 ] || fail "pkg-config version"
# shellcheck disable=SC2046
"$cc" -std=c11 -Wall -Wextra -Wpedantic -Werror -o "$scratch/consumer-pc" \
    "$here/consumer/consumer.c" $(pkg-config --cflags --libs cbmpcore)
LD_LIBRARY_PATH=$moved_libdir "$scratch/consumer-pc" "$sample" "$scratch/pc.cbmp" \
    "$scratch/pc.bmp" >"$scratch/pc.log" 2>&1 || fail "pkg-config consumer: $(cat "$scratch/pc.log")"
cmp -s "$sample" "$scratch/pc.bmp" || fail "pkg-config consumer did not restore the bitmap"

cmake -S "$here/consumer" -B "$scratch/consumer-build" -G "$generator" \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_PREFIX_PATH="$prefix" >"$scratch/configure.log"
cmake --build "$scratch/consumer-build" >"$scratch/build.log"
LD_LIBRARY_PATH=$libdir "$scratch/consumer-build/consumer" "$sample" "$scratch/fp.cbmp" "$scratch/fp.bmp" \
    >"$scratch/fp.log" 2>&1 || fail "find_package consumer: $(cat "$scratch/fp.log")"
cmp -s "$sample" "$scratch/fp.bmp" || fail "find_package consumer did not restore the bitmap"
echo "core library installs and links: $(cat "$scratch/fp.log")"
