#!/usr/bin/env bash
# Times cbmp against the general-purpose compressors people would use instead, on BMP files, and
# prints Markdown tables: for each image set a summary against the goals, then every tool in full.
#
#   bench/compare.sh [--runs N] [--set real|generated|all] [--no-reference] [BMP...]
#
# The sets (default: all):
#   real       pictures from Debian packages (photographs, wallpapers, screenshots, pixel art,
#              line drawings, 8-bit palette and 1-bit images, 1 to 48 MiB), which
#              bench/real_images.sh fetches and converts into $CBMP_REAL_IMAGES (default
#              ~/.cache/cbmp-bench/real) the first time; see SOURCES.txt there.
#   generated  the project's own 24-bit test images from make_test_image (smooth gradients,
#              noise, flat areas and a photograph-like texture at 2048 x 2048 and 4096 x 4096, plus
#              photograph-like images of about 1, 4 and 16 MiB to show how time and memory scale).
# BMP files given on the command line form a set of their own instead.
#
# cbmp is timed twice: on one core and on every core. The one-core run is pinned to a core with
# the command prefix CBMP_ONE_CORE (default "taskset -c 0") and sets the environment variable
# named by CBMP_THREADS_VAR (default CBMP_THREADS) to 1, for a cbmp that takes its thread count
# from there. The peers run on one thread (zstd -T1). Every tool writes a real output file, a new
# one each run, and every round trip is checked with cmp. Unless --no-reference, the codec benchmark also times the
# straightforward reference encoder in-process on each real image (slow: seconds an image).
#
# Environment: CBMP (the cbmp binary), MAKE_TEST_IMAGE (the image generator), CODEC_BENCHMARK; all
# default to the release build. Needs hyperfine, python3 and GNU time; installs nothing, and says
# which peers are missing (they are left out of the table).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
CBMP=${CBMP:-$ROOT/build/release/cli/cbmp}
MAKE_TEST_IMAGE=${MAKE_TEST_IMAGE:-$ROOT/build/release/bench/make_test_image}
CODEC_BENCHMARK=${CODEC_BENCHMARK:-$ROOT/build/release/bench/codec_benchmark}
THREADS_VAR=${CBMP_THREADS_VAR:-CBMP_THREADS}
ONE_CORE=${CBMP_ONE_CORE-taskset -c 0}
RUNS=5
SETS=all
REFERENCE=1
while [ $# -gt 0 ]; do
    case "$1" in
    --runs) RUNS=$2; shift 2 ;;
    --set) SETS=$2; shift 2 ;;
    --no-reference) REFERENCE=0; shift ;;
    *) break ;;
    esac
done

# Debian's interpreter where there is one: it starts faster than a version manager's shim.
PYTHON=$(command -v /usr/bin/python3 || command -v python3 || true)
for tool in hyperfine "$PYTHON" /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "compare.sh: $tool is missing" >&2; exit 1; }
done
[ -x "$CBMP" ] || { echo "compare.sh: no cbmp at $CBMP (build the release preset)" >&2; exit 1; }

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

# set name <TAB> file, one a line
listing="$WORK/files.tsv"
: >"$listing"
if [ $# -gt 0 ]; then
    for file in "$@"; do printf 'given\t%s\n' "$file" >>"$listing"; done
else
    if [ "$SETS" = all ] || [ "$SETS" = real ]; then
        "$ROOT/bench/real_images.sh" | sed 's/^/real\t/' >>"$listing"
    fi
    if [ "$SETS" = all ] || [ "$SETS" = generated ]; then
        [ -x "$MAKE_TEST_IMAGE" ] || { echo "compare.sh: no make_test_image at $MAKE_TEST_IMAGE" >&2; exit 1; }
        for side in 2048 4096; do
            for kind in photo flat gradient noise; do
                "$MAKE_TEST_IMAGE" "$kind" "$side" "$side" "$WORK/$kind-$side.bmp"
                printf 'generated\t%s\n' "$WORK/$kind-$side.bmp" >>"$listing"
            done
        done
        # About 1, 4 and 16 MiB (the 48 MiB one is photo-4096 above).
        for side in 591 1182 2364; do
            "$MAKE_TEST_IMAGE" photo "$side" "$side" "$WORK/photo-$side.bmp"
            printf 'generated\t%s\n' "$WORK/photo-$side.bmp" >>"$listing"
        done
    fi
fi

# name | compress command | decompress command | extension ({in} {c} {out} are substituted)
peers=(
    "cbmp 1 core|$ONE_CORE env $THREADS_VAR=1 $CBMP -c {in} {c} >/dev/null|$CBMP -d {c} {out} >/dev/null|cbmp"
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

timing() { # hyperfine JSON -> median wall seconds <TAB> mean CPU seconds (user + system)
    "$PYTHON" -c 'import json,sys; r = json.load(open(sys.argv[1]))["results"][0]
print(r["median"], r["user"] + r["system"], sep="\t")' "$1"
}
peak_kib() { # peak resident memory of a shell command, in KiB
    /usr/bin/time -f %M sh -c "$1" 2>&1 >/dev/null | tail -n 1
}
# In-process encoder times of the reference and of cbmp's own encoder on one thread, in seconds
# (the codec benchmark's one-thread encoder where it has one).
reference_times() {
    [ "$REFERENCE" = 1 ] && [ -x "$CODEC_BENCHMARK" ] || { printf -- '-\t-'; return; }
    CBMP_BENCH_FILE=$1 "$CODEC_BENCHMARK" --benchmark_filter='^BM_Compress(OneThread|Reference)?/1(/real_time)?$' \
        --benchmark_min_time=0.01 --benchmark_out="$WORK/reference.json" \
        --benchmark_out_format=json >/dev/null 2>&1
    "$PYTHON" -c '
import json, sys
times = {b["name"].split("/")[0]: b["real_time"] / 1e3
         for b in json.load(open(sys.argv[1]))["benchmarks"]}
own = times.get("BM_CompressOneThread", times.get("BM_Compress", "-"))
print(times.get("BM_CompressReference", "-"), own, sep="\t", end="")' \
        "$WORK/reference.json"
}

rows="$WORK/rows.tsv"
: >"$rows"
while IFS=$'\t' read -r set file; do
    bytes=$(stat -c %s "$file")
    for peer in "${available[@]}"; do
        IFS='|' read -r name ccmd dcmd ext <<<"$peer"
        c="$WORK/out.$ext"
        out="$WORK/out.$ext.bmp"
        ccmd=${ccmd//\{in\}/$file}; ccmd=${ccmd//\{c\}/$c}
        dcmd=${dcmd//\{c\}/$c}; dcmd=${dcmd//\{out\}/$out}
        # Every run writes a new file, as a user does: replacing one costs a tool that writes
        # safely (a new file renamed over the old) a flush of the file system's delayed writes.
        hyperfine -w 1 -r "$RUNS" --prepare "rm -f $c" --export-json "$WORK/c.json" "$ccmd" \
            >/dev/null 2>&1
        if [ "$name" != cbmp ]; then # cbmp's decoder has one thread: its one-core row times it
            hyperfine -w 1 -r "$RUNS" --prepare "rm -f $out" --export-json "$WORK/d.json" \
                "$dcmd" >/dev/null 2>&1
        else
            eval "$dcmd"
        fi
        cmp -s "$file" "$out" || { echo "compare.sh: $name did not round-trip $file" >&2; exit 1; }
        reference="-	-"
        if [ "$name" = "cbmp 1 core" ] && [ "$set" != generated ]; then
            reference=$(reference_times "$file")
        fi
        IFS=$'\t' read -r cwall ccpu < <(timing "$WORK/c.json")
        IFS=$'\t' read -r dwall dcpu < <(timing "$WORK/d.json")
        printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$set" "$(basename "$file")" \
            "$bytes" "$name" "$(stat -c %s "$c")" "$cwall" "$dwall" "$(peak_kib "$ccmd")" \
            "$(peak_kib "$dcmd")" "$reference" "$ccpu" "$dcpu" >>"$rows"
        rm -f "$c" "$out"
    done
done <"$listing"

"$PYTHON" - "$rows" <<'PY'
import sys

rows = [line.rstrip("\n").split("\t") for line in open(sys.argv[1])]
sets = []
for r in rows:
    if r[0] not in sets:
        sets.append(r[0])
for s in sets:
    mine_rows = [r for r in rows if r[0] == s]
    by = {(r[1], r[3]): r for r in mine_rows}
    files = []
    for r in mine_rows:
        if r[1] not in files:
            files.append(r[1])

    def speed(f, tool, column):  # MB/s
        r = by.get((f, tool))
        return int(r[2]) / float(r[column]) / 1e6 if r else None

    def ratio(a, b):
        return f"{a / b:.2f}" if a and b else "-"

    def both(f, column, cpu, peer):  # cbmp's speed over a peer's: wall (CPU)
        mine = "cbmp 1 core"
        return (f"{ratio(speed(f, mine, column), speed(f, peer, column))} "
                f"({ratio(speed(f, mine, cpu), speed(f, peer, cpu))})")

    print(f"\n### {s} set: cbmp against the goals\n")
    print("Speed of cbmp over each peer's from median wall times, and in parentheses from CPU "
          "times (user + system, mean): compression on one core (goals: >= 1.5 over "
          "libdeflate-gzip -6, >= 1 over zstd -3, >= 10 over the reference encoder in-process), "
          "all cores over one core (goal >= 1.8 from 12 MiB), decompression (goal > 1 over "
          "libdeflate-gunzip); peak memory against 1.1 x (input + output) + 8 MiB.\n")
    print("| image | MiB | cbmp size | compress MB/s 1 core / all | all / 1 | / libdeflate -6 | "
          "/ zstd -3 | / reference | decompress MB/s | / libdeflate | peak MiB c / d (bound) |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for f in files:
        one = by.get((f, "cbmp 1 core"))
        size = int(one[2])
        c1, call = speed(f, "cbmp 1 core", 5), speed(f, "cbmp", 5)
        ref = "-"
        if one[9] != "-" and one[10] != "-":
            ref = f"{float(one[9]) / float(one[10]):.0f}"
        allcores = by.get((f, "cbmp"))
        bound = 1.1 * (size + int(one[4])) / 2**20 + 8
        print(f"| {f} | {size / 2**20:.1f} | {100.0 * int(one[4]) / size:.1f}% | "
              f"{c1:.0f} / {call:.0f} | {ratio(call, c1)} | "
              f"{both(f, 5, 11, 'libdeflate-gzip -6')} | {both(f, 5, 11, 'zstd -3')} | {ref} | "
              f"{speed(f, 'cbmp 1 core', 6):.0f} | {both(f, 6, 12, 'libdeflate-gzip -6')} | "
              f"{int(allcores[7]) / 1024:.0f} / {int(allcores[8]) / 1024:.0f} ({bound:.0f}) |")

    print(f"\n### {s} set: every tool\n")
    print("| image | MiB | tool | ratio | compress MB/s | decompress MB/s | CPU s c / d | "
          "peak RSS c / d (MiB) |")
    print("|---|---:|---|---:|---:|---:|---:|---:|")
    for r in mine_rows:
        size = int(r[2])
        print(f"| {r[1]} | {size / 2**20:.1f} | {r[3]} | {100.0 * int(r[4]) / size:.1f}% | "
              f"{size / float(r[5]) / 1e6:.0f} | {size / float(r[6]) / 1e6:.0f} | "
              f"{float(r[11]):.3f} / {float(r[12]):.3f} | "
              f"{int(r[7]) / 1024:.0f} / {int(r[8]) / 1024:.0f} |")
PY
