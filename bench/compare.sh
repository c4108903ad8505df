#!/usr/bin/env bash
# Times cbmp against the general-purpose compressors people would use instead, on BMP files, and
# prints one Markdown table.
#
#   bench/compare.sh [--runs N] [BMP...]
#
# Without files it generates its own 24-bit test images (smooth gradients, noise, flat areas and a
# photograph-like texture, at 2048 x 2048 and 4096 x 4096, plus photograph-like images of about
# 1, 4, 16 and 48 MiB to show how time and memory scale) with the project's make_test_image.
# Every tool writes a real output file, and every round trip is checked with cmp.
#
# Environment: CBMP (the cbmp binary), MAKE_TEST_IMAGE (the image generator); both default to the
# release build. Needs hyperfine, python3 and GNU time; installs nothing, and says which peers are
# missing (they are left out of the table).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
CBMP=${CBMP:-$ROOT/build/release/cli/cbmp}
MAKE_TEST_IMAGE=${MAKE_TEST_IMAGE:-$ROOT/build/release/bench/make_test_image}
RUNS=5
if [ "${1:-}" = "--runs" ]; then
    RUNS=$2
    shift 2
fi

for tool in hyperfine python3 /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "compare.sh: $tool is missing" >&2; exit 1; }
done
[ -x "$CBMP" ] || { echo "compare.sh: no cbmp at $CBMP (build the release preset)" >&2; exit 1; }

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

files=("$@")
if [ ${#files[@]} -eq 0 ]; then
    [ -x "$MAKE_TEST_IMAGE" ] || { echo "compare.sh: no make_test_image at $MAKE_TEST_IMAGE" >&2; exit 1; }
    for side in 2048 4096; do
        for kind in photo flat gradient noise; do
            "$MAKE_TEST_IMAGE" "$kind" "$side" "$side" "$WORK/$kind-$side.bmp"
            files+=("$WORK/$kind-$side.bmp")
        done
    done
    # About 1, 4 and 16 MiB (the 48 MiB one is photo-4096 above).
    for side in 591 1182 2364; do
        "$MAKE_TEST_IMAGE" photo "$side" "$side" "$WORK/photo-$side.bmp"
        files+=("$WORK/photo-$side.bmp")
    done
fi

# name | compress command | decompress command | extension ({in} {c} {out} are substituted)
peers=(
    "cbmp|$CBMP -c {in} {c} >/dev/null|$CBMP -d {c} {out} >/dev/null|cbmp"
    "gzip -6|gzip -6 -c {in} >{c}|gzip -d -c {c} >{out}|gz"
    "libdeflate-gzip -6|libdeflate-gzip -6 -c {in} >{c}|libdeflate-gunzip -c {c} >{out}|ldgz"
    "zstd -3|zstd -3 -T1 -q -c {in} >{c}|zstd -d -q -c {c} >{out}|zst"
    "lz4 -1|lz4 -1 -q -c {in} >{c}|lz4 -d -q -c {c} >{out}|lz4"
)
available=()
missing=()
for peer in "${peers[@]}"; do
    name=${peer%%|*}
    binary=${name%% *}
    if [ "$binary" = cbmp ] || command -v "$binary" >/dev/null; then
        available+=("$peer")
    else
        missing+=("$binary")
    fi
done
[ ${#missing[@]} -eq 0 ] || echo "compare.sh: missing peers, left out: ${missing[*]}" >&2

median() { # hyperfine JSON -> median seconds
    python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["results"][0]["median"])' "$1"
}
peak_kib() { # peak resident memory of a shell command, in KiB
    /usr/bin/time -f %M sh -c "$1" 2>&1 >/dev/null | tail -n 1
}

rows="$WORK/rows.tsv"
: >"$rows"
for file in "${files[@]}"; do
    bytes=$(stat -c %s "$file")
    for peer in "${available[@]}"; do
        IFS='|' read -r name ccmd dcmd ext <<<"$peer"
        c="$WORK/out.$ext"
        out="$WORK/out.$ext.bmp"
        ccmd=${ccmd//\{in\}/$file}; ccmd=${ccmd//\{c\}/$c}
        dcmd=${dcmd//\{c\}/$c}; dcmd=${dcmd//\{out\}/$out}
        hyperfine -w 1 -r "$RUNS" --export-json "$WORK/c.json" "$ccmd" >/dev/null 2>&1
        hyperfine -w 1 -r "$RUNS" --export-json "$WORK/d.json" "$dcmd" >/dev/null 2>&1
        cmp -s "$file" "$out" || { echo "compare.sh: $name did not round-trip $file" >&2; exit 1; }
        printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$(basename "$file")" "$bytes" "$name" \
            "$(stat -c %s "$c")" "$(median "$WORK/c.json")" "$(median "$WORK/d.json")" \
            "$(peak_kib "$ccmd")" "$(peak_kib "$dcmd")" >>"$rows"
        rm -f "$c" "$out"
    done
done

python3 - "$rows" <<'PY'
import sys
rows = [line.rstrip("\n").split("\t") for line in open(sys.argv[1])]
cbmp = {r[0]: r for r in rows if r[2] == "cbmp"}
print("| file | MiB | tool | ratio | compress MB/s | decompress MB/s | compress time / cbmp's | "
      "decompress time / cbmp's | peak RSS c / d (MiB) |")
print("|---|---:|---|---:|---:|---:|---:|---:|---:|")
for f, size, tool, csize, ct, dt, cm, dm in rows:
    size, csize, ct, dt = int(size), int(csize), float(ct), float(dt)
    base = cbmp[f]
    note = ""
    if tool == "cbmp":
        bound = 1.1 * (size + csize) / 2**20 + 8
        note = f" (bound {bound:.0f})"
    print(f"| {f} | {size / 2**20:.1f} | {tool} | {100.0 * csize / size:.1f}% | "
          f"{size / ct / 1e6:.0f} | {size / dt / 1e6:.0f} | {ct / float(base[4]):.2f} | "
          f"{dt / float(base[5]):.2f} | {int(cm) / 1024:.0f} / {int(dm) / 1024:.0f}{note} |")
PY
