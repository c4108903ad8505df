#!/usr/bin/env python3
"""Whole-process compression and decompression of cbmp against its peers, image by image:
wall time and CPU time (user + system, from the child's resource usage through wait4, so that a
busy host can still be measured by CPU time), and peak resident memory.

Per image and round, the tools take turns (so that a load that comes and goes slows each alike):
  c1   cbmp -c pinned to one core (`taskset -c CORE`: cbmp takes its thread count from its
       affinity, so it runs one thread)
  call cbmp -c unpinned (every core it may use, helpers at idle priority)
  zstd -3 -T1 and libdeflate-gzip -6, pinned to the same core
  d    cbmp -d, libdeflate-gunzip and zstd -d, pinned to the same core
Every round trip is checked byte for byte once; peak memory (GNU time's %M) comes from one extra
run of each command. Prints one tab-separated line per image with the medians (times in ms,
memory in MiB, sizes in % of the input, and the load average when the image was done);
bench/whole_process_table.py turns them into Markdown tables.

    bench/whole_process.py [--rounds N] [--core C] CBMP -- FILE...
"""
import filecmp
import os
import statistics
import subprocess
import sys
import tempfile
import time


def run(argv, stdout_path=None):
    """Returns (wall ms, CPU ms) of one process."""
    out = open(stdout_path, "wb") if stdout_path else subprocess.DEVNULL
    try:
        start = time.perf_counter()
        proc = subprocess.Popen(argv, stdout=out, stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(proc.pid, 0)
        wall = (time.perf_counter() - start) * 1000.0
    finally:
        if stdout_path:
            out.close()
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        sys.exit(f"whole_process.py: {' '.join(argv)} failed ({code})")
    return wall, (usage.ru_utime + usage.ru_stime) * 1000.0


def peak_kib(argv, stdout_path, work):
    """Peak resident memory (KiB) of one process, from GNU time's %M in a separate run: a child
    forked from this interpreter would report the interpreter's size as its own peak."""
    report = os.path.join(work, "peak")
    run(["/usr/bin/time", "-f", "%M", "-o", report] + argv, stdout_path)
    with open(report) as f:
        return int(f.read().split()[-1])


def measure(cbmp, path, rounds, core, work):
    pin = ["taskset", "-c", core]
    c, z, g = (os.path.join(work, n) for n in ("img.cbmp", "img.zst", "img.gz"))
    back = os.path.join(work, "back.bmp")
    # Compressed files for the decompression runs, and one checked round trip per tool.
    subprocess.run([cbmp, "-c", path, c], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["zstd", "-3", "-T1", "-q", "-f", "-o", z, path], check=True)
    with open(g, "wb") as f:
        subprocess.run(["libdeflate-gzip", "-6", "-c", path], check=True, stdout=f)
    subprocess.run([cbmp, "-d", c, back], check=True, stdout=subprocess.DEVNULL)
    if not filecmp.cmp(path, back, shallow=False):
        sys.exit(f"whole_process.py: {path} did not come back byte for byte")
    os.unlink(back)
    pin = ["taskset", "-c", core]
    peak = {
        "c1": peak_kib(pin + [cbmp, "-c", path, back], None, work),
        "call": peak_kib([cbmp, "-c", path, back], None, work),
        "zc": peak_kib(pin + ["zstd", "-3", "-T1", "-q", "-f", "-o", back, path], None, work),
        "gc": peak_kib(pin + ["libdeflate-gzip", "-6", "-c", path], back, work),
        "d": peak_kib(pin + [cbmp, "-d", c, back], None, work),
        "zd": peak_kib(pin + ["zstd", "-d", "-q", "-f", "-o", back, z], None, work),
        "gd": peak_kib(pin + ["libdeflate-gunzip", "-c", g], back, work),
    }
    os.unlink(back)
    sizes = {"cbmp": os.path.getsize(c), "zstd": os.path.getsize(z),
             "gzip": os.path.getsize(g)}
    t = {k: [] for k in ("c1", "call", "zc", "gc", "d", "zd", "gd")}
    for _ in range(rounds):
        out = os.path.join(work, "o")
        t["c1"].append(run(pin + [cbmp, "-c", path, out + ".cbmp"]))
        t["zc"].append(run(pin + ["zstd", "-3", "-T1", "-q", "-f", "-o", out + ".zst", path]))
        t["gc"].append(run(pin + ["libdeflate-gzip", "-6", "-c", path], out + ".gz"))
        t["call"].append(run([cbmp, "-c", path, out + "2.cbmp"]))
        t["d"].append(run(pin + [cbmp, "-d", c, out + ".bmp"]))
        t["gd"].append(run(pin + ["libdeflate-gunzip", "-c", g], out + "g.bmp"))
        t["zd"].append(run(pin + ["zstd", "-d", "-q", "-f", "-o", out + "z.bmp", z]))
        for name in os.listdir(work):
            if name.startswith("o"):
                os.unlink(os.path.join(work, name))
    med = {k: tuple(statistics.median(x[i] for x in v) for i in range(2)) + (peak[k],)
           for k, v in t.items()}
    for name in ("img.cbmp", "img.zst", "img.gz"):
        os.unlink(os.path.join(work, name))
    return sizes, med


def main(argv):
    rounds, core = 3, "0"
    while argv[:1] in (["--rounds"], ["--core"]):
        if argv[0] == "--rounds":
            rounds = int(argv[1])
        else:
            core = argv[1]
        argv = argv[2:]
    if "--" not in argv or argv.index("--") != 1 or len(argv) < 3:
        sys.exit("usage: whole_process.py [--rounds N] [--core C] CBMP -- FILE...")
    cbmp, files = argv[0], argv[2:]
    keys = ("c1", "call", "zc", "gc", "d", "zd", "gd")
    print("image\tMiB\tcbmp%\tzstd%\tgzip%\t" + "\t".join(
        f"{k}_wall\t{k}_cpu\t{k}_rss" for k in keys) + "\tload1")
    with tempfile.TemporaryDirectory() as work:
        for path in files:
            sizes, med = measure(cbmp, path, rounds, core, work)
            size = os.path.getsize(path)
            name = os.path.splitext(os.path.basename(path))[0]
            cells = [name, f"{size / 1048576:.1f}"] + [
                f"{100.0 * sizes[k] / size:.1f}" for k in ("cbmp", "zstd", "gzip")]
            for k in keys:
                w, c, r = med[k]
                cells += [f"{w:.1f}", f"{c:.1f}", f"{r / 1024:.1f}"]
            cells.append(f"{os.getloadavg()[0]:.2f}")
            print("\t".join(cells), flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
