#!/bin/sh
# cbmp's one-thread encoder against the reference encoder the tests keep, in process (the codec
# benchmark, CPU time of each, pinned to one core), on each file given. Prints
# "image<TAB>ratio" lines (reference CPU time over cbmp's), as bench/whole_process_table.py reads.
#   bench/reference_ratio.sh [--min-time SECONDS] BMP...
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BENCH=${CODEC_BENCHMARK:-$ROOT/build/release/bench/codec_benchmark}
MIN_TIME=0.01
if [ "${1:-}" = --min-time ]; then MIN_TIME=$2; shift 2; fi
OUT=$(mktemp)
trap 'rm -f "$OUT"' EXIT
for file in "$@"; do
    CBMP_BENCH_FILE=$file taskset -c "${CORE:-0}" "$BENCH" \
        --benchmark_filter='BM_Compress(OneThread/1/real_time|Reference/1)$' \
        --benchmark_min_time="$MIN_TIME" --benchmark_out="$OUT" \
        --benchmark_out_format=json >/dev/null 2>&1
    python3 -c '
import json, os, sys
cpu = {b["name"].split("/")[0]: b["cpu_time"] for b in json.load(open(sys.argv[2]))["benchmarks"]}
name = os.path.splitext(os.path.basename(sys.argv[1]))[0]
ratio = cpu["BM_CompressReference"] / cpu["BM_CompressOneThread"]
print("%s\t%.1f" % (name, ratio), flush=True)
' "$file" "$OUT"
done
