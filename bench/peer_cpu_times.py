#!/usr/bin/env python3
"""CPU time (user + system) of whole-process compression on one core: cbmp -c against
zstd -3 -T1 and libdeflate-gzip -6, image by image. Every command runs pinned to one core
(`taskset -c CORE`; cbmp takes its thread count from its affinity, so it runs one thread), the
tools taking turns each round, so that a busy host slows each of them alike. CPU time is read
from the child's resource usage (wait4), which holds far better than wall clock on a shared host.
Prints a Markdown table of median CPU times (ms) and cbmp's speed against each peer (above 1:
cbmp is faster).

    bench/peer_cpu_times.py [--rounds N] [--core C] CBMP -- FILE...
"""
import os
import statistics
import subprocess
import sys
import tempfile


def cpu_ms(argv, stdout_path=None):
    out = open(stdout_path, "wb") if stdout_path else subprocess.DEVNULL
    try:
        proc = subprocess.Popen(argv, stdout=out, stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(proc.pid, 0)
    finally:
        if stdout_path:
            out.close()
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        sys.exit(f"peer_cpu_times.py: {' '.join(argv)} failed ({proc.returncode})")
    return (usage.ru_utime + usage.ru_stime) * 1000.0


def main(argv):
    rounds, core = 5, "0"
    while argv[:1] in (["--rounds"], ["--core"]):
        if argv[0] == "--rounds":
            rounds = int(argv[1])
        else:
            core = argv[1]
        argv = argv[2:]
    if "--" not in argv or argv.index("--") != 1 or len(argv) < 3:
        sys.exit("usage: peer_cpu_times.py [--rounds N] [--core C] CBMP -- FILE...")
    cbmp, files = argv[0], argv[2:]
    pin = ["taskset", "-c", core]
    print("| image | MiB | cbmp (ms) | zstd -3 -T1 (ms) | libdeflate-gzip -6 (ms) "
          "| zstd / cbmp | libdeflate / cbmp |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    with tempfile.TemporaryDirectory() as work:
        for path in files:
            times = {"cbmp": [], "zstd": [], "gzip": []}
            for r in range(rounds):
                c = os.path.join(work, f"out{r}.cbmp")
                times["cbmp"].append(cpu_ms(pin + [cbmp, "-c", path, c]))
                times["zstd"].append(
                    cpu_ms(pin + ["zstd", "-3", "-T1", "-q", "-f", "-o",
                                  os.path.join(work, f"out{r}.zst"), path]))
                times["gzip"].append(
                    cpu_ms(pin + ["libdeflate-gzip", "-6", "-c", path],
                           os.path.join(work, f"out{r}.gz")))
                for name in os.listdir(work):
                    os.unlink(os.path.join(work, name))
            m = {k: statistics.median(v) for k, v in times.items()}
            name = os.path.splitext(os.path.basename(path))[0]
            print(f"| {name} | {os.path.getsize(path) / 1048576:.1f} | {m['cbmp']:.0f} "
                  f"| {m['zstd']:.0f} | {m['gzip']:.0f} | {m['zstd'] / m['cbmp']:.2f} "
                  f"| {m['gzip'] / m['cbmp']:.2f} |", flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
