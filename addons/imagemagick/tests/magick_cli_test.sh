#!/usr/bin/env bash
# convert and identify as a user runs them, on the build tree's coder module and magic entry:
# every test image opens pixel for pixel as its BMP file, by extension, by prefix, by its magic
# number alone and from a pipe; PNG files convert to CBMP files that the cbmp tool restores.
# Usage: magick_cli_test.sh <cbmp tool> <test images> <scratch>
# (MAGICK_CODER_MODULE_PATH and MAGICK_CONFIGURE_PATH come from the test's environment, and in a
# sanitizer build CBMP_MAGICK_PRELOAD names the runtime that ImageMagick's programs need to load
# the instrumented module: the cbmp tool has its own)
set -euo pipefail
cbmp=$1 images=$2 scratch=$3
rm -rf "$scratch"
mkdir -p "$scratch"
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
convert() { LD_PRELOAD=${CBMP_MAGICK_PRELOAD:-} command convert "$@"; }
identify() { LD_PRELOAD=${CBMP_MAGICK_PRELOAD:-} command identify "$@"; }
pixels() { convert "$1" rgba:- | md5sum; }

count=0
for bmp in "$images"/*.bmp; do
    name=$(basename "$bmp" .bmp)
    "$cbmp" -c "$bmp" "$scratch/$name.cbmp" >/dev/null
    [ "$(pixels "$scratch/$name.cbmp")" = "$(pixels "$bmp")" ] || fail "$name: pixels differ"
    expected=$(identify -format '%w %h' "$bmp")
    [ "$(identify -format '%m %w %h' "$scratch/$name.cbmp")" = "CBMP $expected" ] ||
        fail "$name: identify says '$(identify -format '%m %w %h' "$scratch/$name.cbmp")'"
    # PNG to CBMP: the bitmap that ImageMagick writes as BMP, compressed.
    convert "$bmp" "$scratch/$name.png"
    convert "$scratch/$name.png" "$scratch/$name-written.cbmp"
    convert "$scratch/$name.png" "$scratch/$name-expected.bmp"
    "$cbmp" -d "$scratch/$name-written.cbmp" "$scratch/$name-written.bmp" >/dev/null ||
        fail "$name: the cbmp tool cannot restore the written file"
    [ "$(pixels "$scratch/$name-written.bmp")" = "$(pixels "$scratch/$name-expected.bmp")" ] ||
        fail "$name: the written CBMP file holds other pixels than ImageMagick's BMP file"
    count=$((count + 1))
done
[ "$count" -ge 9 ] || fail "only $count test images in $images"

sample=$scratch/rgb24-large.cbmp
cp "$sample" "$scratch/no-extension"
[ "$(identify -format %m "$scratch/no-extension")" = CBMP ] || fail "magic number not recognised"
[ "$(pixels "$scratch/no-extension")" = "$(pixels "$sample")" ] || fail "by magic number: pixels"
[ "$(convert cbmp:- rgba:- <"$sample" | md5sum)" = "$(pixels "$sample")" ] || fail "from a pipe"
convert "$scratch/rgb24-large.png" cbmp:- >"$scratch/piped.cbmp"
[ "$(head -c 4 "$scratch/piped.cbmp")" = CBMP ] || fail "to a pipe"
[ "$(pixels "$scratch/piped.cbmp")" = "$(pixels "$scratch/rgb24-large-expected.bmp")" ] ||
    fail "pipe pixels"
# A damaged file is an error with a message, not a picture.
head -c 100 "$sample" >"$scratch/truncated.cbmp"
if convert "$scratch/truncated.cbmp" "$scratch/out.png" 2>"$scratch/error.txt"; then
    fail "a truncated file converted"
fi
grep -q . "$scratch/error.txt" || fail "no message for a truncated file"
echo "convert and identify: $count images pixel for pixel, magic number, pipes, damage"
