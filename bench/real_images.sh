#!/usr/bin/env bash
# Builds the real-image benchmark set: BMP files made from pictures that Debian packages ship under
# free licences (wallpapers, artwork, icons, the screenshots and diagrams of a handbook and the
# pages of a reference manual), in every class people keep as bitmaps, from 1 to 48 MiB. Nothing of it is ever committed: the
# packages are fetched with apt-get download (unpacked with dpkg-deb, not installed) and the BMP
# files are written to a folder outside the repository, with each package's copyright file and a
# SOURCES.txt that says where every image comes from and what was done to it.
#
#   bench/real_images.sh [DIR]      (default: $CBMP_REAL_IMAGES, else ~/.cache/cbmp-bench/real)
#
# Prints the BMP paths, one a line. Runs again in a moment: packages and images already there are
# kept. Needs apt-get (with its package lists), dpkg-deb, Debian's python3-pil and poppler-utils
# (pdftoppm, for the manual's pages), both installed here when missing and run as root.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
DIR=${1:-${CBMP_REAL_IMAGES:-$HOME/.cache/cbmp-bench/real}}
mkdir -p "$DIR"
DIR=$(cd "$DIR" && pwd)
case "$DIR/" in
"$ROOT"/*) echo "real_images.sh: $DIR is inside the repository; pick a folder outside it" >&2; exit 1 ;;
esac

# The packages the pictures come from; each one's licence is checked below and copied beside the
# images.
packages=(mate-backgrounds plasma-workspace-wallpapers gnome-backgrounds debian-handbook
    famfamfam-silk debian-reference-en)
if ! apt-cache show "${packages[@]}" >/dev/null 2>&1; then
    # A fresh machine may have no package lists yet.
    if [ "$(id -u)" = 0 ]; then
        apt-get update -q >&2
    else
        echo "real_images.sh: apt-get does not know ${packages[*]}: run apt-get update" >&2
        exit 1
    fi
fi

# Debian's own interpreter, which is where python3-pil installs (a python3 earlier in PATH may not
# see it).
PYTHON=/usr/bin/python3
if ! "$PYTHON" -c 'import PIL' 2>/dev/null; then
    if [ "$(id -u)" = 0 ]; then
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q python3-pil >&2
    else
        echo "real_images.sh: needs python3-pil (apt-get install python3-pil)" >&2
        exit 1
    fi
fi

if ! command -v pdftoppm >/dev/null; then
    if [ "$(id -u)" = 0 ]; then
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q poppler-utils >&2
    else
        echo "real_images.sh: needs pdftoppm (apt-get install poppler-utils)" >&2
        exit 1
    fi
fi

mkdir -p "$DIR/debs" "$DIR/pkgs" "$DIR/licenses"
for pkg in "${packages[@]}"; do
    if [ ! -d "$DIR/pkgs/$pkg" ]; then
        rm -f "$DIR/debs/${pkg}"_*.deb
        (cd "$DIR/debs" && apt-get download -q "$pkg" >&2)
        mkdir -p "$DIR/pkgs/$pkg.tmp"
        dpkg-deb -x "$DIR/debs/${pkg}"_*.deb "$DIR/pkgs/$pkg.tmp"
        mv "$DIR/pkgs/$pkg.tmp" "$DIR/pkgs/$pkg"
    fi
    cp "$DIR/pkgs/$pkg/usr/share/doc/$pkg/copyright" "$DIR/licenses/$pkg.copyright"
done

"$PYTHON" - "$DIR" <<'PY'
import glob
import os
import subprocess
import sys
import tempfile

from PIL import Image

Image.MAX_IMAGE_PIXELS = None  # the 48 MiB pictures are bigger than Pillow's default guard
out = sys.argv[1]
pkgs = os.path.join(out, "pkgs")
mate = "mate-backgrounds/usr/share/backgrounds/mate/"
plasma = "plasma-workspace-wallpapers/usr/share/wallpapers/"
gnome = "gnome-backgrounds/usr/share/backgrounds/gnome/"
handbook = "debian-handbook/usr/share/doc/debian-handbook/html/en-US/images/"
silk = "famfamfam-silk/usr/share/icons/silk/16x16/"
manual = "debian-reference-en/usr/share/debian-reference/debian-reference.en.pdf"
licences = {
    "mate-backgrounds": "GPL-2+",
    "plasma-workspace-wallpapers": "GPL-2+",
    "gnome-backgrounds": "CC-BY-SA-3.0",
    "debian-handbook": "GPL-2+ or CC-BY-SA-3.0",
    "famfamfam-silk": "CC-BY-3.0 (icons), GPL-3 (packaging)",
    "debian-reference-en": "GPL-2+",
}

# Row padding is what makes 5461 x 3072 x 24 bits exactly 48 MiB of pixel bytes.
BIG = (5461, 3072)


def load(path):
    return Image.open(os.path.join(pkgs, path)).convert("RGB")


def mosaic(paths, columns, cell, scale=1, background="white"):
    """The pictures side by side in a grid of cells, each scaled by `scale` (nearest pixel)."""
    rows = (len(paths) + columns - 1) // columns
    sheet = Image.new("RGB", (columns * cell[0] * scale, rows * cell[1] * scale), background)
    for i, path in enumerate(paths):
        picture = load(path)
        picture = picture.crop((0, 0, min(picture.width, cell[0]), min(picture.height, cell[1])))
        if scale != 1:
            picture = picture.resize((picture.width * scale, picture.height * scale), Image.NEAREST)
        sheet.paste(picture, ((i % columns) * cell[0] * scale, (i // columns) * cell[1] * scale))
    return sheet


def pages(first, last, dpi, gray=False):
    """Pages first .. last of the reference manual, rendered at `dpi` (in colour, or 8-bit gray)."""
    with tempfile.TemporaryDirectory() as work:
        subprocess.run(["pdftoppm", "-r", str(dpi), "-f", str(first), "-l", str(last)]
                       + (["-gray"] if gray else ["-png"]) + [os.path.join(pkgs, manual),
                       os.path.join(work, "page")], check=True)
        return [Image.open(path).convert("L" if gray else "RGB")
                for path in sorted(glob.glob(os.path.join(work, "page-*")))]


def tile(pictures, columns, mode):
    """Equal-sized pictures side by side, `columns` to a row."""
    width, height = pictures[0].size
    rows = (len(pictures) + columns - 1) // columns
    sheet = Image.new(mode, (columns * width, rows * height), "white")
    for i, picture in enumerate(pictures):
        sheet.paste(picture, ((i % columns) * width, (i // columns) * height))
    return sheet


def crop_to(picture, size):
    left = (picture.width - size[0]) // 2
    top = (picture.height - size[1]) // 2
    return picture.crop((left, top, left + size[0], top + size[1]))


screenshots = [handbook + name + ".png" for name in (
    "gnome", "kde", "kmail", "xfce", "synaptic", "thunderbird", "webmin", "testkvm", "lxqt",
    "mate", "cinnamon", "wireshark")]
drawings = [handbook + name + ".png" for name in (
    "ssh-L", "ssh-R", "release-cycle", "selinux-transitions", "virtual-package",
    "startup-systemd", "startup-sysvinit", "package-lifecycle")]

# name: (class, sources, what was done, how to make it)
images = {
    "photo-dune-1M": ("photograph", [mate + "nature/Dune.jpg"],
        "scaled down to 768 x 480 (Lanczos)",
        lambda: load(mate + "nature/Dune.jpg").resize((768, 480), Image.LANCZOS)),
    "photo-path-12M": ("photograph", [plasma + "Path/contents/images/2560x1600.jpg"],
        "as shipped, 2560 x 1600",
        lambda: load(plasma + "Path/contents/images/2560x1600.jpg")),
    "photo-elephants-48M": ("photograph (of a painting on canvas)",
        [mate + "abstract/Elephants_5640x3172.jpg"], "centre cropped to 5461 x 3072",
        lambda: crop_to(load(mate + "abstract/Elephants_5640x3172.jpg"), BIG)),
    "wallpaper-pastelhills-18M": ("smooth artwork", [plasma + "PastelHills/contents/images/3200x2000.jpg"],
        "as shipped, 3200 x 2000",
        lambda: load(plasma + "PastelHills/contents/images/3200x2000.jpg")),
    "wallpaper-volna-48M": ("smooth artwork with grain", [plasma + "Volna/contents/images/5120x2880.jpg"],
        "scaled up from 5120 x 2880 to 5461 x 3072 (bicubic): no package ships one that big",
        lambda: load(plasma + "Volna/contents/images/5120x2880.jpg").resize(BIG, Image.BICUBIC)),
    "artwork-patak-42M": ("flat artwork with a line grid", [plasma + "Patak/contents/images/5120x2880.png"],
        "as shipped, 5120 x 2880",
        lambda: load(plasma + "Patak/contents/images/5120x2880.png")),
    "screenshot-kmail-2M": ("screenshot with text", [handbook + "kmail.png"],
        "as shipped, 1024 x 719", lambda: load(handbook + "kmail.png")),
    "screenshot-mosaic-27M": ("screenshots with text", screenshots,
        "twelve 1024 x 768 screenshots tiled 4 x 3 into 4096 x 2304",
        lambda: mosaic(screenshots, 4, (1024, 768))),
    "pixelart-silk-12M": ("pixel art", [silk + "*.png"],
        "the 1000 16 x 16 icons on a white sheet of 40 x 25, each pixel made 4 x 4 (nearest), 2560 x 1600",
        lambda: mosaic(sorted(os.path.relpath(p, pkgs) for p in
                              glob.glob(os.path.join(pkgs, silk, "*.png"))), 40, (16, 16), 4)),
    "pixelart-pixels-48M": ("pixel-style artwork", [gnome + "pixels-l.webp"],
        "as shipped, 4096 x 4096", lambda: load(gnome + "pixels-l.webp")),
    "drawing-ssh-3M": ("line drawing", [handbook + "ssh-L.png"], "as shipped, 1024 x 1038",
        lambda: load(handbook + "ssh-L.png")),
    "palette8-eveningglow-4M": ("8-bit palette photograph", [plasma + "EveningGlow/contents/images/2560x1600.jpg"],
        "reduced to 256 colours with Floyd-Steinberg dithering",
        lambda: load(plasma + "EveningGlow/contents/images/2560x1600.jpg").quantize(
            256, dither=Image.FLOYDSTEINBERG)),
    "palette8-screenshots-9M": ("8-bit palette screenshots", screenshots,
        "the screenshot mosaic above reduced to 256 colours, no dithering",
        lambda: mosaic(screenshots, 4, (1024, 768)).quantize(256, dither=Image.NONE)),
    "bilevel-drawings-5M": ("1-bit line drawings, like a scanned page", drawings,
        "eight diagrams tiled 2 x 4 in 1024 x 1230 cells, each pixel made 2 x 2 (nearest), "
        "then thresholded at 50% to 1 bit: 4096 x 9840",
        lambda: mosaic(drawings, 2, (1024, 1230), 2).convert("L").point(
            lambda v: 255 if v >= 128 else 0).convert("1", dither=Image.NONE)),
    "document-pages-24bit-25M": ("rendered document pages, 24-bit", [manual],
        "pages 24 to 27 rendered at 150 dpi (pdftoppm), tiled 2 x 2",
        lambda: tile(pages(24, 27, 150), 2, "RGB")),
    "document-pages-gray-15M": ("rendered document pages, 8-bit gray", [manual],
        "pages 28 to 31 rendered at 200 dpi in 8-bit gray (pdftoppm), tiled 2 x 2",
        lambda: tile(pages(28, 31, 200, gray=True), 2, "L")),
    "document-pages-1bit-8M": ("rendered document pages, 1-bit, like a scanned document", [manual],
        "pages 24 to 31 rendered at 300 dpi in 8-bit gray (pdftoppm), tiled 4 x 2, thresholded "
        "at 50% to 1 bit",
        lambda: tile(pages(24, 31, 300, gray=True), 4, "L").point(
            lambda v: 255 if v >= 128 else 0).convert("1", dither=Image.NONE)),
    "rgba-arccolors-10M": ("artwork with an alpha channel, 32-bit",
        [mate + "abstract/Arc-Colors-Transparent-Wallpaper.png"],
        "as shipped, 2140 x 1200 with its transparency, written as 32-bit BGRA",
        lambda: Image.open(os.path.join(pkgs, mate + "abstract/Arc-Colors-Transparent-Wallpaper.png"))
            .convert("RGBA")),
    "artwork-flow-42M": ("JPEG-decoded artwork", [plasma + "Flow/contents/images/5120x2880.jpg"],
        "as shipped, 5120 x 2880", lambda: load(plasma + "Flow/contents/images/5120x2880.jpg")),
}

lines = []
for name, (kind, sources, done, make) in images.items():
    path = os.path.join(out, name + ".bmp")
    if not os.path.exists(path):
        make().save(path + ".tmp", "BMP")
        os.replace(path + ".tmp", path)
    package = sources[0].split("/")[0]
    lines.append(f"{name}.bmp: {kind}; {os.path.getsize(path)} bytes; from the Debian package "
                 f"{package} ({licences[package]}, see licenses/{package}.copyright): "
                 f"{', '.join(s.split('/', 1)[1] for s in sources)}; {done}")
    print(path)
with open(os.path.join(out, "SOURCES.txt"), "w") as f:
    f.write("\n".join(lines) + "\n")
PY
