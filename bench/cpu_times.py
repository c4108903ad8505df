#!/usr/bin/env python3
"""CPU time of the encoder alone, one thread, image by image, for one or more builds of
codec_benchmark: one compression a run, the builds taking turns, so that a busy host slows each
of them alike. Prints a Markdown table of the smallest and the median CPU time (ms) per build and
each build's smallest against the first one's (above 1: faster). On a host shared with others'
builds CPU time holds far better than wall clock, and the smallest of a few runs better still.

    bench/cpu_times.py [--rounds N] CODEC_BENCHMARK... -- FILE...
"""
import json
import os
import statistics
import subprocess
import sys
import tempfile


def main(argv):
    rounds = 3
    if argv[:1] == ["--rounds"]:
        rounds, argv = int(argv[1]), argv[2:]
    if "--" not in argv:
        sys.exit("usage: cpu_times.py [--rounds N] CODEC_BENCHMARK... -- FILE...")
    split = argv.index("--")
    benches, files = argv[:split], argv[split + 1:]
    if not benches or not files:
        sys.exit("usage: cpu_times.py [--rounds N] CODEC_BENCHMARK... -- FILE...")
    header = "| image | MiB |"
    rule = "|---|---:|"
    for i in range(len(benches)):
        header += f" build {i} min (ms) | build {i} median (ms) |"
        rule += "---:|---:|"
        if i > 0:
            header += f" 0 / {i} |"
            rule += "---:|"
    print(header)
    print(rule)
    with tempfile.TemporaryDirectory() as work:
        out = os.path.join(work, "out.json")
        for path in files:
            times = [[] for _ in benches]
            for _ in range(rounds):
                for i, bench in enumerate(benches):
                    subprocess.run([bench, "--benchmark_filter=BM_CompressOneThread/16/",
                                    "--benchmark_min_time=0", f"--benchmark_out={out}",
                                    "--benchmark_out_format=json"],
                                   env=dict(os.environ, CBMP_BENCH_FILE=path),
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
                    with open(out) as f:
                        times[i].append(json.load(f)["benchmarks"][0]["cpu_time"])
            name = os.path.splitext(os.path.basename(path))[0]
            row = f"| {name} | {os.path.getsize(path) / 1048576:.1f} |"
            for i, t in enumerate(times):
                row += f" {min(t):.1f} | {statistics.median(t):.1f} |"
                if i > 0:
                    row += f" {min(times[0]) / min(t):.2f} |"
            print(row, flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
