"""The bomb test of a plug-in: opens the two files of addons/tests/bombs.py (the 1 GiB padded
file, which must open, and the 12.5 MB file of 18,918 x 18,918 pixels, which must be refused)
through a command and checks that it stays under 64 MiB plus the pixel buffer it was asked for.

Usage: bomb_test.py <scratch folder> <command>...

The command is a shell command with {input} and {output} in it. Its peak resident size is its
own (wait4) or, when the output has a line "plug-in peak RSS: <n> KiB" (a plug-in that runs as a
process of its own reports it), the largest such figure. A refusal is a non-zero exit status or an output
that says so; the time each file took is printed for the report, not checked (beyond a timeout).
"""
import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import bombs  # noqa: E402

MIB = 1024
REPORTED = re.compile(r"plug-in peak RSS: (\d+) KiB")


# The command runs under a small interpreter of its own: a child's peak resident size counts the
# memory of the process it was forked from, which here would be this one's, with the bombs built.
LAUNCHER = """
import os, sys
pid = os.fork()
if pid == 0:
    os.execv("/bin/sh", ["/bin/sh", "-c", sys.argv[1]])
_, status, usage = os.wait4(pid, 0)
print("launched command's peak RSS (wait4): %d KiB" % usage.ru_maxrss)
sys.exit(os.waitstatus_to_exitcode(status))
"""
LAUNCHED = re.compile(r"launched command's peak RSS \(wait4\): (\d+) KiB")


def measure(command):
    """Runs `command`: exit status, peak RSS in KiB, seconds, output."""
    start = time.monotonic()
    result = subprocess.run([sys.executable, "-c", LAUNCHER, command], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, timeout=300)
    seconds = time.monotonic() - start
    output = result.stdout.decode(errors="replace")
    reported = [int(n) for n in REPORTED.findall(output)]
    launched = int(LAUNCHED.search(output).group(1))
    if reported:
        for line in output.splitlines():
            if REPORTED.search(line):
                print("  " + line.strip())
        print(f"  (the whole program, its plug-ins waited for: {launched / MIB:.1f} MiB)")
    return result.returncode, max(reported) if reported else launched, seconds, output


def main(folder, command):
    bombs.make(folder)
    failures = 0
    # The padded file holds a 64 x 64 image: its pixel buffer is well under a mebibyte.
    cases = [("padded-1g.cbmp", "1 GiB padded file", 65, False),
             ("huge-pixels.cbmp", "18,918 x 18,918 image in 12.5 MB", 64, True)]
    for name, what, bound_mib, must_refuse in cases:
        path = os.path.join(folder, name)
        output_path = os.path.join(folder, name + ".out")
        status, rss, seconds, output = measure(
            command.format(input=path, output=output_path))
        refused = status != 0 or re.search(r"refused|too large|limit", output, re.I) is not None
        print(f"{what}: {'refused' if refused else 'opened'}, peak RSS {rss / MIB:.1f} MiB "
              f"(bound {bound_mib} MiB), {seconds:.2f} s, exit status {status}")
        if rss > bound_mib * MIB:
            print(f"FAIL: {what}: peak RSS above the bound\n{output}")
            failures += 1
        if must_refuse and not refused:
            print(f"FAIL: {what}: not refused\n{output}")
            failures += 1
        if not must_refuse and refused:
            print(f"FAIL: {what}: the valid image at its start was refused\n{output}")
            failures += 1
    os.remove(os.path.join(folder, "padded-1g.cbmp"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], " ".join(sys.argv[2:])))
