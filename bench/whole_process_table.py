#!/usr/bin/env python3
"""Markdown tables from bench/whole_process.py's output: cbmp's speed against each peer (peer's
time over cbmp's: above 1, cbmp is faster), by CPU time and by wall time, and peak memory
against the input file's size + 16 MiB (the bitmap for compression, the compressed file for
decompression).

    bench/whole_process_table.py RESULTS.tsv [REFERENCE.tsv]

REFERENCE.tsv, if given, holds lines "image<TAB>ratio" (cbmp one thread over the reference
encoder, in process) to add as a column.
"""
import csv
import sys


def main(argv):
    rows = list(csv.DictReader(open(argv[0]), delimiter="\t"))
    reference = {}
    if len(argv) > 1:
        for line in open(argv[1]):
            name, ratio = line.split()
            reference[name] = ratio

    def f(row, key):
        return float(row[key])

    def ratio(row, peer, own, kind):
        return f"{f(row, f'{peer}_{kind}') / f(row, f'{own}_{kind}'):.2f}"

    print("Compression (CPU ms and wall ms of cbmp on one core; speed ratios CPU / wall):\n")
    print("| image | MiB | size cbmp / zstd / gzip | cbmp 1 core CPU / wall ms "
          "| vs zstd -3 -T1 | vs libdeflate-gzip -6 | all cores: wall speed-up / CPU cost "
          + ("| vs reference " if reference else "") + "|")
    print("|---|---:|---:|---:|---:|---:|---:" + ("|---:" if reference else "") + "|")
    for r in rows:
        all_speed = f(r, "c1_wall") / f(r, "call_wall")
        all_cost = f(r, "call_cpu") / f(r, "c1_cpu")
        cells = [r["image"], r["MiB"], f"{r['cbmp%']}% / {r['zstd%']}% / {r['gzip%']}%",
                 f"{f(r, 'c1_cpu'):.0f} / {f(r, 'c1_wall'):.0f}",
                 f"{ratio(r, 'zc', 'c1', 'cpu')} / {ratio(r, 'zc', 'c1', 'wall')}",
                 f"{ratio(r, 'gc', 'c1', 'cpu')} / {ratio(r, 'gc', 'c1', 'wall')}",
                 f"{all_speed:.2f} / {all_cost:.2f}"]
        if reference:
            cells.append(reference.get(r["image"], "-"))
        print("| " + " | ".join(cells) + " |")

    print("\nDecompression (one core) and peak memory:\n")
    print("| image | MiB | cbmp CPU / wall ms | vs libdeflate-gunzip | vs zstd -d "
          "| peak MiB: compress 1 core / all cores / decompress | bound: input + 16 MiB, c / d |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for r in rows:
        # The input of a decompression is the compressed file.
        bound_c = float(r["MiB"]) + 16
        bound_d = float(r["MiB"]) * float(r["cbmp%"]) / 100 + 16
        print(f"| {r['image']} | {r['MiB']} | {f(r, 'd_cpu'):.0f} / {f(r, 'd_wall'):.0f} "
              f"| {ratio(r, 'gd', 'd', 'cpu')} / {ratio(r, 'gd', 'd', 'wall')} "
              f"| {ratio(r, 'zd', 'd', 'cpu')} / {ratio(r, 'zd', 'd', 'wall')} "
              f"| {f(r, 'c1_rss'):.0f} / {f(r, 'call_rss'):.0f} / {f(r, 'd_rss'):.0f} "
              f"| {bound_c:.0f} / {bound_d:.0f} |")


if __name__ == "__main__":
    main(sys.argv[1:])
