"""The GIMP plug-in through GIMP's console in batch mode, with the build tree's plug-in on GIMP's
plug-in path and a GIMP folder of the test's own (GIMP2_DIRECTORY): every test image opens from
its CBMP file pixel for pixel as from its BMP file, also without the extension; an exported CBMP
file holds exactly the BMP file GIMP's BMP exporter writes; truncated and damaged files give an
error, never a crash.

Usage: gimp_batch_test.py <cbmp tool> <test images> <plug-in folder> <scratch>
"""
import os
import random
import shutil
import subprocess
import sys
import time

from PIL import Image

GIMP = "gimp-console-2.10"


def gimp_home(scratch, plugin_dir):
    """A GIMP folder that adds the build tree's plug-in to the system's."""
    home = os.path.join(scratch, "gimp-home")
    os.makedirs(home, exist_ok=True)
    for folder in ("gradients", "brushes", "patterns", "palettes", "tool-presets", "fonts"):
        os.makedirs(os.path.join(home, folder), exist_ok=True)
    with open(os.path.join(home, "gimprc"), "w") as rc:
        rc.write('(plug-in-path "${gimp_dir}/plug-ins:${gimp_plug_in_dir}/plug-ins:%s")\n'
                 % plugin_dir)
    return home


def run_gimp(home, commands, extra_env=None):
    """Runs Script-Fu commands in one batch session; returns (exit status, output)."""
    env = dict(os.environ, GIMP2_DIRECTORY=home, **(extra_env or {}))
    arguments = [GIMP, "-i", "-d", "-f"]
    for command in commands + ["(gimp-quit 0)"]:
        arguments += ["-b", command]
    result = subprocess.run(arguments, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            timeout=600)
    return result.returncode, result.stdout.decode(errors="replace")


def quoted(path):
    return '"' + path.replace("\\", "\\\\").replace('"', '\\"') + '"'


def to_png(source, target):
    """Script-Fu: open `source` with whatever plug-in GIMP picks and write its pixels to PNG."""
    return ("(let* ((image (car (gimp-file-load RUN-NONINTERACTIVE %s %s)))"
            " (layer (car (gimp-image-get-active-layer image))))"
            " (file-png-save RUN-NONINTERACTIVE image layer %s %s 0 9 0 0 0 0 0)"
            " (gimp-image-delete image))" % (quoted(source), quoted(source), quoted(target),
                                             quoted(target)))


def export(source, png, bmp, cbmp):
    """Script-Fu: open `source`, write its pixels to PNG, export it to BMP and to CBMP (by the
    extension, as a user exports)."""
    saves = " ".join("(gimp-file-save RUN-NONINTERACTIVE image layer %s %s)" % (quoted(t), quoted(t))
                     for t in (bmp, cbmp))
    return ("(let* ((image (car (gimp-file-load RUN-NONINTERACTIVE %s %s)))"
            " (layer (car (gimp-image-get-active-layer image))))"
            " (file-png-save RUN-NONINTERACTIVE image layer %s %s 0 9 0 0 0 0 0) %s"
            " (gimp-image-delete image))" % (quoted(source), quoted(source), quoted(png),
                                             quoted(png), saves))


def pixels(path):
    with Image.open(path) as image:
        return image.size, image.convert("RGBA").tobytes()


def fail(message, output=""):
    print("FAIL: " + message)
    if output:
        print(output[-4000:])
    sys.exit(1)


def check_no_crash(output):
    if "crashed" in output.lower():
        fail("a plug-in crashed", output)


def main(tool, images, plugin_dir, scratch):
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    home = gimp_home(scratch, plugin_dir)
    names = sorted(n[:-4] for n in os.listdir(images) if n.endswith(".bmp"))
    if len(names) < 9:
        fail("only %d test images in %s" % (len(names), images))
    commands = []
    for name in names:
        bmp = os.path.join(images, name + ".bmp")
        cbmp = os.path.join(scratch, name + ".cbmp")
        subprocess.run([tool, "-c", bmp, cbmp], check=True, stdout=subprocess.DEVNULL)
        commands.append(export(bmp, os.path.join(scratch, name + "-bmp.png"),
                               os.path.join(scratch, name + "-exported.bmp"),
                               os.path.join(scratch, name + "-exported.cbmp")))
        commands.append(to_png(cbmp, os.path.join(scratch, name + "-cbmp.png")))
    shutil.copy(os.path.join(scratch, "pal8.cbmp"), os.path.join(scratch, "no-extension"))
    commands.append(to_png(os.path.join(scratch, "no-extension"),
                           os.path.join(scratch, "no-extension.png")))
    started = time.monotonic()
    status, output = run_gimp(home, commands)
    print("GIMP: first batch in %.1f s" % (time.monotonic() - started))
    check_no_crash(output)
    if status != 0 or "execution error" in output:
        fail("GIMP's batch failed (exit status %d)" % status, output)

    for name in names:
        expected = pixels(os.path.join(scratch, name + "-bmp.png"))
        if pixels(os.path.join(scratch, name + "-cbmp.png")) != expected:
            fail(name + ": the CBMP file opens with other pixels than the BMP file")
        restored = os.path.join(scratch, name + "-restored.bmp")
        subprocess.run([tool, "-d", os.path.join(scratch, name + "-exported.cbmp"), restored],
                       check=True, stdout=subprocess.DEVNULL)
        with open(restored, "rb") as a, open(os.path.join(scratch, name + "-exported.bmp"),
                                             "rb") as b:
            if a.read() != b.read():
                fail(name + ": the exported CBMP file is not GIMP's BMP file compressed")
    if pixels(os.path.join(scratch, "no-extension.png")) != pixels(
            os.path.join(scratch, "pal8-bmp.png")):
        fail("a CBMP file without its extension does not open by its magic number")
    print("GIMP: %d images open pixel for pixel and export as GIMP's BMP files, compressed"
          % len(names))

    # Truncations and byte flips: an error each (every truncation), never a crash.
    damaged = os.path.join(scratch, "damaged")
    os.makedirs(damaged)
    rng = random.Random(17)
    cases = []
    for name in ("pal4", "rle8", "v5-alpha"):
        data = open(os.path.join(scratch, name + ".cbmp"), "rb").read()
        cuts = {0, 3, 4, 30, 59, 60, 61, 64} | set(rng.sample(range(65, len(data)), 8))
        for length in sorted(cuts):
            path = os.path.join(damaged, "%s-cut%d.cbmp" % (name, length))
            open(path, "wb").write(data[:length])
            cases.append((path, True))
        for round_ in range(16):
            flipped = bytearray(data)
            for _ in range(1 + round_ % 4):
                flipped[rng.randrange(len(flipped))] ^= rng.randrange(1, 256)
            path = os.path.join(damaged, "%s-flip%d.cbmp" % (name, round_))
            open(path, "wb").write(flipped)
            cases.append((path, False))
    script = ["(define opened 0)"]
    for path, _ in cases:
        script.append("(let ((result (catch #f (gimp-file-load RUN-NONINTERACTIVE %s %s))))"
                      " (if result (begin (set! opened (+ opened 1))"
                      " (gimp-message (string-append \"opened: \" %s))"
                      " (gimp-image-delete (car result)))))"
                      % (quoted(path), quoted(path), quoted(path)))
    script.append('(gimp-message (string-append "damaged files opened: "'
                  ' (number->string opened)))')
    started = time.monotonic()
    status, output = run_gimp(home, [" ".join(["(begin"] + script + [")"])])
    print("GIMP: damaged files' batch in %.1f s" % (time.monotonic() - started))
    check_no_crash(output)
    if "damaged files opened:" not in output:
        fail("the damaged files' batch did not finish", output)
    for path, must_fail in cases:
        if must_fail and "opened: " + path + "\n" in output:
            fail("a truncated file opened: " + path, output)
    print("GIMP: %d damaged files, no crash (%s)"
          % (len(cases), output.split("damaged files opened:")[1].split("\n")[0].strip()
             + " flipped ones still opened"))


if __name__ == "__main__":
    main(*sys.argv[1:5])
