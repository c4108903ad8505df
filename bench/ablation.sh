#!/usr/bin/env bash
# The encoder's strategies on and off, image by image: prints the Markdown table that
# bench/ablation.md keeps. In-process timings from codec_benchmark (wall clock, median of N runs,
# every configuration of one image measured in one run, so that the ratios hold on a busy host):
#
#   one thread, AVX2 scan   the shipped single-thread encoder (the portable scan where no AVX2)
#   one thread, portable    the same loop with the 64-bit-word scan
#   two threads             segments guessed on a helper thread and spliced in; with the
#                           segments that joined and how far past their starts (KiB, mean)
#
#   bench/ablation.sh [--runs N] [BMP...]
#
# BASELINE_BENCHMARK, when set, names the codec_benchmark of another build (an earlier encoder)
# whose BM_Compress adds a column: what that encoder took on the same file in the same run.
#
# Without files it takes the BMP files in $CBMP_REAL_IMAGES (default ~/.cache/cbmp-bench/real,
# where bench/real_images.sh writes the real-image set) and generated images of each kind
# (gradient, noise, flat, photo at 2048 x 2048, and a periodic 12 MiB payload that never joins).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BENCH=${CODEC_BENCHMARK:-$ROOT/build/release/bench/codec_benchmark}
MAKE_TEST_IMAGE=${MAKE_TEST_IMAGE:-$ROOT/build/release/bench/make_test_image}
RUNS=3
if [ "${1:-}" = "--runs" ]; then
    RUNS=$2
    shift 2
fi
[ -x "$BENCH" ] || { echo "ablation.sh: no codec_benchmark at $BENCH (build the release preset)" >&2; exit 1; }

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

files=("$@")
if [ ${#files[@]} -eq 0 ]; then
    shopt -s nullglob
    files=("${CBMP_REAL_IMAGES:-$HOME/.cache/cbmp-bench/real}"/*.bmp)
    for kind in gradient noise flat photo; do
        "$MAKE_TEST_IMAGE" "$kind" 2048 2048 "$WORK/generated-$kind-12M.bmp"
        files+=("$WORK/generated-$kind-12M.bmp")
    done
    python3 -c 'import sys; sys.stdout.buffer.write(bytes(range(7)) * ((12 << 20) // 7))' \
        >"$WORK/generated-periodic7-12M.bin"
    files+=("$WORK/generated-periodic7-12M.bin")
fi

echo "| image | MiB | baseline (MB/s) | 1 thread, AVX2 (MB/s) | 1 thread, portable (MB/s) | 2 threads (MB/s) | 2 threads / 1 | joined segments | join (KiB past start) |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|"
for file in "${files[@]}"; do
    CBMP_BENCH_FILE=$file "$BENCH" --benchmark_filter='BM_Compress(OneThread|PortableScan|TwoThreads)/16' \
        --benchmark_repetitions="$RUNS" --benchmark_report_aggregates_only=true \
        --benchmark_format=json --benchmark_out="$WORK/out.json" --benchmark_out_format=json \
        >/dev/null 2>&1
    echo '{"benchmarks": []}' >"$WORK/base.json"
    if [ -n "${BASELINE_BENCHMARK:-}" ]; then
        CBMP_BENCH_FILE=$file "$BASELINE_BENCHMARK" --benchmark_filter='BM_Compress/16' \
            --benchmark_repetitions="$RUNS" --benchmark_report_aggregates_only=true \
            --benchmark_out="$WORK/base.json" --benchmark_out_format=json >/dev/null 2>&1
    fi
    python3 - "$file" "$WORK/out.json" "$WORK/base.json" <<'PY'
import json
import os
import sys

path, out, base = sys.argv[1], sys.argv[2], sys.argv[3]


def medians_of(file):
    """The median of each benchmark (the single run when there is one run)."""
    found = {}
    for b in json.load(open(file))["benchmarks"]:
        if b.get("aggregate_name", "median") == "median":
            found[b["run_name"].split("/")[0]] = b
    return found


medians = medians_of(out)
baseline = "-"
for b in medians_of(base).values():
    # an earlier benchmark may time CPU rather than wall clock: convert from its real time
    baseline = "%.0f" % (os.path.getsize(path) / b["real_time"] / 1e3 if b["time_unit"] == "ms"
                         else float("nan"))
one = medians["BM_CompressOneThread"]
portable = medians["BM_CompressPortableScan"]
two = medians["BM_CompressTwoThreads"]
mbs = lambda b: b["bytes_per_second"] / 1e6
print("| %s | %.1f | %s | %.0f | %.0f | %.0f | %.2f | %d of %d | %.0f |" % (
    os.path.basename(path), os.path.getsize(path) / 2**20, baseline, mbs(one), mbs(portable), mbs(two),
    mbs(two) / mbs(one), two["joins"], max(two["segments"] - 1, 0), two["join_kib"]))
PY
done
