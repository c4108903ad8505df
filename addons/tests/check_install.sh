#!/usr/bin/env bash
# Installs the add-ons with the core library into a staging folder (DESTDIR) for the configured
# prefix and checks that each piece lands where its consumer looks for it: the Python package on
# the interpreter's module path, the loader in gdk-pixbuf's module folder, the MIME type, the
# viewers' application entries and the thumbnailer entry in the shared data folders, the libmagic
# entry; then uses the staged copies.
# Usage: check_install.sh <build dir> <scratch dir> <python> <prefix> <sample.bmp>
set -euo pipefail
build=$1 scratch=$2 python=$3 prefix=$4 sample=$5
rm -rf "$scratch"
mkdir -p "$scratch"
stage=$scratch/stage
export GIO_USE_VFS=local  # plain local files, no session services

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

for component in core-runtime desktop-data pixbuf-loader python; do
    DESTDIR=$stage cmake --install "$build" --component "$component" >>"$scratch/install.log"
done
core=$(find "$stage" -name 'libcbmpcore.so.1' | head -n 1)
[ -n "$core" ] || fail "libcbmpcore.so.1 not installed"

# Python: the package sits in a folder that the interpreter searches for this prefix.
init=$(find "$stage" -path '*/cbmp/__init__.py' | head -n 1)
[ -n "$init" ] || fail "Python package not installed"
package_parent=$(dirname "$(dirname "$init")")
wanted=${package_parent#"$stage"}
if [ "$prefix" = /usr ] || [ "$prefix" = /usr/local ]; then
    "$python" -c "import sys; sys.exit(sys.argv[1] not in sys.path)" "$wanted" \
        || fail "$wanted is not on $python's module path"
fi
ls "$package_parent"/cbmp/_core.*.so >/dev/null || fail "extension module not installed"
# The staged copies find the staged core library by their run path, as installed ones do.
PYTHONPATH=$package_parent PYTHONDONTWRITEBYTECODE=1 "$python" - "$sample" <<'PY' \
    || fail "installed Python package does not work"
import io, os, sys
import cbmp
from PIL import Image
assert cbmp.__file__.startswith(os.environ["PYTHONPATH"]), cbmp.__file__
bmp = open(sys.argv[1], "rb").read()
packed = cbmp.compress(bmp)
assert cbmp.decompress(packed) == bmp
with Image.open(sys.argv[1]) as expected, Image.open(io.BytesIO(packed)) as actual:
    assert actual.format == "CBMP" and actual.tobytes() == expected.tobytes()
PY

# GdkPixbuf: the module in gdk-pixbuf's own module folder, moved under the prefix.
moduledir=$(pkg-config --define-variable=prefix="$prefix" --variable=gdk_pixbuf_moduledir gdk-pixbuf-2.0)
loader=$stage$moduledir/libpixbufloader-cbmp.so
[ -f "$loader" ] || fail "$loader not installed"
[ -f "$stage$prefix/share/mime/packages/cbmp.xml" ] || fail "MIME type not installed"
grep -q '^MimeType=image/x-cbmp;$' "$stage$prefix/share/thumbnailers/cbmp.thumbnailer" \
    || fail "thumbnailer entry not installed"

# The staged loader and MIME type, put to use as the system would after its cache updates.
query=$(pkg-config --variable=gdk_pixbuf_query_loaders gdk-pixbuf-2.0)
"$query" "$(pkg-config --variable=gdk_pixbuf_moduledir gdk-pixbuf-2.0)"/*.so "$loader" \
    >"$scratch/loaders.cache"
grep -q '"cbmp"' "$scratch/loaders.cache" || fail "installed loader not accepted by $query"
update-mime-database "$stage$prefix/share/mime"
PYTHONPATH=$package_parent "$python" -c \
    "import cbmp, sys; open(sys.argv[2], 'wb').write(cbmp.compress(open(sys.argv[1], 'rb').read()))" \
    "$sample" "$scratch/sample.cbmp"
# The type by the name, and by the "CBMP" magic alone.
cp "$scratch/sample.cbmp" "$scratch/sample-without-extension"
for file in sample.cbmp sample-without-extension; do
    type=$(XDG_DATA_DIRS=$stage$prefix/share:/usr/share gio info -a standard::content-type \
        "$scratch/$file" | sed -n 's/.*standard::content-type: //p')
    [ "$type" = image/x-cbmp ] || fail "content type of $file: '$type'"
done
GDK_PIXBUF_MODULE_FILE=$scratch/loaders.cache XDG_DATA_DIRS=$stage$prefix/share:/usr/share \
    gdk-pixbuf-thumbnailer -s 32 "$scratch/sample.cbmp" "$scratch/thumbnail.png" \
    || fail "thumbnailer failed with the installed loader"
[ "$(head -c 4 "$scratch/thumbnail.png" | tail -c 3)" = PNG ] || fail "no PNG thumbnail"

# libmagic (file(1), and the viewers that ask it for a MIME type) names the type from the entry.
magic=$stage$prefix/share/cbmp/magic
[ -f "$magic" ] || fail "libmagic entry not installed"
described=$(file -b -m "$magic" "$scratch/sample-without-extension")
case $described in
    "CBMP compressed bitmap, "*" x "*", "*" bits") ;;
    *) fail "file(1) with the installed entry says '$described'" ;;
esac
[ "$(file -b --mime-type -m "$magic" "$scratch/sample-without-extension")" = image/x-cbmp ] ||
    fail "file(1) gives no image/x-cbmp MIME type"

# A default application for the type wherever a viewer that can show it is installed: a viewer
# stands in for eog on PATH, and GIO offers it; without one, the hidden entry offers nothing.
apps_home=$scratch/apps-home
mkdir -p "$apps_home" "$scratch/bin"
update-desktop-database "$stage$prefix/share/applications"
default_app() {
    HOME=$apps_home XDG_CONFIG_HOME=$apps_home XDG_DATA_HOME=$apps_home XDG_CONFIG_DIRS=$apps_home \
        XDG_DATA_DIRS=$stage$prefix/share PATH=$1 gio mime image/x-cbmp 2>&1 || true
}
printf '#!/bin/sh\nexit 0\n' >"$scratch/bin/eog"
chmod +x "$scratch/bin/eog"
default_app "$scratch/bin:/usr/bin:/bin" | grep -q "^Default application for .*image/x-cbmp.*: cbmp-eog.desktop$" ||
    fail "no default application with eog installed: $(default_app "$scratch/bin:/usr/bin:/bin")"
if ! command -v eog >/dev/null && ! command -v ristretto >/dev/null; then
    ! default_app /usr/bin:/bin | grep -q "cbmp-eog.desktop" ||
        fail "a viewer that is not installed is offered"
fi

echo "add-ons installed for prefix $prefix: all found where they are looked for"
