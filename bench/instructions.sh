#!/usr/bin/env bash
# Instruction counts of the encoder alone, image by image, for one or more builds of
# codec_benchmark: a measure that holds on a busy host, where wall-clock timings do not. Each file
# is compressed once on one thread under callgrind (with its branch simulator), counting only
# inside LzCompressForTesting; prints a Markdown table of millions of instructions (Ir) and of
# mispredicted conditional branches (Bcm) per build, and each build's Ir against the first one's.
#
#   bench/instructions.sh CODEC_BENCHMARK... -- FILE...
#
# Needs valgrind. Slow: about a minute per 48 MiB image per build.
set -euo pipefail

benches=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    benches+=("$1")
    shift
done
[ $# -gt 0 ] && shift
[ ${#benches[@]} -gt 0 ] && [ $# -gt 0 ] || { echo "usage: $0 CODEC_BENCHMARK... -- FILE..." >&2; exit 2; }
command -v valgrind >/dev/null || { echo "instructions.sh: needs valgrind" >&2; exit 1; }

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

header="| image | MiB |"
rule="|---|---:|"
for i in "${!benches[@]}"; do
    header+=" Ir build $i (M) | Bcm build $i (M) |"
    rule+="---:|---:|"
    [ "$i" -gt 0 ] && header+=" Ir $i / 0 |" && rule+="---:|"
done
echo "$header"
echo "$rule"
for file in "$@"; do
    row="| $(basename "$file" .bmp) | $(awk -v s="$(stat -c %s "$file")" 'BEGIN { printf "%.1f", s / 1048576 }') |"
    first=
    for i in "${!benches[@]}"; do
        CBMP_BENCH_FILE=$file valgrind --tool=callgrind --branch-sim=yes \
            --callgrind-out-file="$WORK/cg.out" --toggle-collect='cbmp::LzCompressForTesting*' \
            "${benches[$i]}" --benchmark_filter='BM_CompressOneThread/16/' \
            --benchmark_min_time=0 >/dev/null 2>"$WORK/log"
        read -r ir bcm < <(awk '/^summary:/ { print $2, $4 }' "$WORK/cg.out")
        row+=" $(awk -v v="$ir" 'BEGIN { printf "%.0f", v / 1e6 }') | $(awk -v v="$bcm" 'BEGIN { printf "%.1f", v / 1e6 }') |"
        if [ "$i" -eq 0 ]; then
            first=$ir
        else
            row+=" $(awk -v a="$ir" -v b="$first" 'BEGIN { printf "%.2f", a / b }') |"
        fi
    done
    echo "$row"
done
