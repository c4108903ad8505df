#!/usr/bin/env bash
# Peak memory of GdkPixbuf opening a CBMP file against opening its BMP file: GNU time's maximum
# resident size of gdk-pixbuf-thumbnailer, median of RUNS (5) runs each, with the build tree's
# loaders cache and MIME database (build the target pixbuf_loader_test_env first).
# Usage: measure_memory.sh <build dir> <image.bmp> <image.cbmp>
set -euo pipefail
build=$1 bmp=$2 cbmp=$3 runs=${RUNS:-5}
env_dir=$build/addons/gdk-pixbuf/tests/env
export GDK_PIXBUF_MODULE_FILE=$env_dir/loaders.cache XDG_DATA_DIRS=$env_dir/share:/usr/share
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

median_rss() {  # KiB
    for _ in $(seq "$runs"); do
        /usr/bin/time -f %M -o "$out/rss" gdk-pixbuf-thumbnailer -s 256 "$1" "$out/thumb.png"
        cat "$out/rss"
    done | sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'
}

bmp_rss=$(median_rss "$bmp")
cbmp_rss=$(median_rss "$cbmp")
mib() { awk -v k="$1" 'BEGIN {printf "%.1f", k / 1024}'; }
bound=$(( ($(stat -c %s "$bmp") + $(stat -c %s "$cbmp")) / 1024 + 8192 ))
echo "peak RSS: BMP $(mib "$bmp_rss") MiB, CBMP $(mib "$cbmp_rss") MiB;" \
     "difference $(mib $((cbmp_rss - bmp_rss))) MiB, bound (BMP + CBMP + 8 MiB) $(mib "$bound") MiB"
[ $((cbmp_rss - bmp_rss)) -le "$bound" ]
