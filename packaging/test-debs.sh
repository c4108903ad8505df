#!/usr/bin/env bash
# Builds the Debian packages with the package preset, checks them with lintian (any error fails;
# warnings and notes are listed), installs them with dpkg, runs the installed tool, its bash
# completion and a C program built against the installed development package through
# pkg-config and through find_package(cbmp), and removes the packages again. Needs root (dpkg)
# and lintian; run from anywhere in the checkout.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
debs=build/package/debs
scratch=$(mktemp -d)
packages=()

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

cleanup() {
    if [ ${#packages[@]} -gt 0 ]; then
        dpkg --purge "${packages[@]}" >/dev/null || echo "could not remove ${packages[*]}" >&2
    fi
    rm -rf "$scratch"
}
trap cleanup EXIT

rm -rf "$debs"
cmake --workflow --preset package >"$scratch/build.log" 2>&1 || {
    tail -n 40 "$scratch/build.log"
    fail "the package workflow failed"
}
mapfile -t files < <(find "$debs" -maxdepth 1 -name '*.deb' | sort)
[ ${#files[@]} -ge 3 ] || fail "expected at least 3 packages, got: ${files[*]}"
for f in "${files[@]}"; do
    packages+=("$(dpkg-deb -f "$f" Package)")
    echo "$(basename "$f"): Depends: $(dpkg-deb -f "$f" Depends)"
done

# lintian: errors fail, everything else is shown.
if ! lintian --fail-on error --display-info "${files[@]}" >"$scratch/lintian.log" 2>&1; then
    cat "$scratch/lintian.log"
    fail "lintian found errors"
fi
grep -E '^[WIPX]: ' "$scratch/lintian.log" || true
echo "lintian: no errors ($(grep -c '^W: ' "$scratch/lintian.log" || true) warnings)"

# Dependencies computed from the binaries; the library carries its shlibs file and trigger.
for f in "${files[@]}"; do
    case $(dpkg-deb -f "$f" Package) in
        cbmp | libcbmp1) dpkg-deb -f "$f" Depends | grep -q 'libc6 (>=' || fail "$f: no libc6 dependency" ;;
    esac
done
dpkg-deb --ctrl-tarfile "$debs"/libcbmp1_*.deb | tar -xO ./shlibs | grep -qx 'libcbmp 1 libcbmp1 (>= .*)' ||
    fail "libcbmp1 shlibs file"

dpkg -i "${files[@]}" >"$scratch/dpkg.log" || {
    cat "$scratch/dpkg.log"
    fail "dpkg -i failed"
}
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
[ -e "/usr/lib/$multiarch/libcbmp.so.1" ] || fail "libcbmp.so.1 is not in /usr/lib/$multiarch"
ldconfig -p | grep -q 'libcbmp\.so\.1 ' || fail "the ldconfig trigger did not register the library"

# The installed tool, its manual page and its completion.
[ "$(cbmp --version)" = "cbmp $(dpkg-deb -f "$debs"/cbmp_*.deb Version | sed 's/-[^-]*$//')" ] ||
    fail "cbmp --version"
cbmp -c samples/sample.bmp "$scratch/sample.cbmp" >/dev/null
cbmp -d "$scratch/sample.cbmp" "$scratch/sample.bmp" >/dev/null
cmp samples/sample.bmp "$scratch/sample.bmp" || fail "the installed tool changed the bitmap"
zcat /usr/share/man/man1/cbmp.1.gz | grep -q '^\.SH NAME' || fail "manual page"
completion=$(bash -c 'source /usr/share/bash-completion/bash_completion
    source /usr/share/bash-completion/completions/cbmp
    COMP_WORDS=(cbmp --v); COMP_CWORD=1; COMP_LINE="cbmp --v"; COMP_POINT=${#COMP_LINE}
    _cbmp; echo "${COMPREPLY[*]}"')
[ "$completion" = "--version" ] || fail "bash completion gave '$completion'"

# cbmpz beside it: a pipe round trip, its manual page and its completion.
[ "$(cbmpz --version)" = "$(cbmp --version | sed 's/^cbmp /cbmpz /')" ] || fail "cbmpz --version"
cbmpz <samples/sample.bmp | cbmpz -d | cmp - samples/sample.bmp || fail "cbmpz round trip"
zcat /usr/share/man/man1/cbmpz.1.gz | grep -q '^\.SH NAME' || fail "cbmpz manual page"
completion=$(bash -c 'source /usr/share/bash-completion/bash_completion
    source /usr/share/bash-completion/completions/cbmpz
    COMP_WORDS=(cbmpz --rec); COMP_CWORD=1; COMP_LINE="cbmpz --rec"; COMP_POINT=${#COMP_LINE}
    _cbmpz; echo "${COMPREPLY[*]}"')
[ "$completion" = "--recursive" ] || fail "cbmpz bash completion gave '$completion'"

# A C program against the installed development package.
cc -std=c11 -Wall -Werror -o "$scratch/consumer" tests/library/consumer/consumer.c \
    $(pkg-config --cflags --libs cbmp)
"$scratch/consumer" samples/sample.bmp "$scratch/c.cbmp" "$scratch/c.bmp" >"$scratch/c.log" 2>&1
cmp samples/sample.bmp "$scratch/c.bmp" || fail "pkg-config consumer"
cmake -S tests/library/consumer -B "$scratch/consumer-build" -G Ninja >/dev/null
cmake --build "$scratch/consumer-build" >/dev/null
"$scratch/consumer-build/consumer" samples/sample.bmp "$scratch/f.cbmp" "$scratch/f.bmp" >"$scratch/f.log" 2>&1
cmp samples/sample.bmp "$scratch/f.bmp" || fail "find_package consumer"

# The file type, through the installed MIME database (the shared-mime-info trigger) and libmagic.
if [ -f /usr/share/mime/packages/cbmp.xml ]; then
    cp "$scratch/sample.cbmp" "$scratch/sample-without-extension"
    type=$(GIO_USE_VFS=local gio info -a standard::content-type "$scratch/sample-without-extension" |
        sed -n 's/.*standard::content-type: //p')
    [ "$type" = image/x-cbmp ] || fail "installed MIME type: content type '$type'"
    [ "$(file -b --mime-type -m /usr/share/cbmp/magic "$scratch/sample.cbmp")" = image/x-cbmp ] ||
        fail "installed libmagic entry"
fi

# ImageMagick and GIMP: the installed coder module and file plug-in, with nothing configured.
if dpkg-query -W -f='${Status}' imagemagick-6-coder-cbmp 2>/dev/null | grep -q "install ok installed"; then
    cbmp -c samples/sample.bmp "$scratch/magick.cbmp" >/dev/null
    [ "$(identify -format %m "$scratch/magick.cbmp")" = CBMP ] || fail "identify does not know CBMP"
    convert "$scratch/magick.cbmp" "$scratch/magick.png" || fail "convert x.cbmp x.png"
    [ "$(convert "$scratch/magick.png" rgb:- | md5sum)" = "$(convert samples/sample.bmp rgb:- | md5sum)" ] ||
        fail "convert: the CBMP file gives other pixels than its bitmap"
    convert "$scratch/magick.png" "$scratch/written.cbmp" || fail "convert x.png x.cbmp"
    cbmp -d "$scratch/written.cbmp" "$scratch/written.bmp" >/dev/null || fail "the written CBMP file"
    cp "$scratch/magick.cbmp" "$scratch/magick-no-extension"
    [ "$(identify -format %m "$scratch/magick-no-extension")" = CBMP ] ||
        fail "ImageMagick does not find CBMP by its magic number"
    echo "ImageMagick: identify, convert both ways and the magic number work as installed"
fi
if dpkg-query -W -f='${Status}' gimp-plugin-cbmp 2>/dev/null | grep -q "install ok installed" &&
    command -v gimp-console-2.10 >/dev/null; then
    cbmp -c samples/sample.bmp "$scratch/gimp.cbmp" >/dev/null
    mkdir -p "$scratch/gimp-home"
    GIMP2_DIRECTORY=$scratch/gimp-home gimp-console-2.10 -i -d -f -b "(let* ((image (car
        (gimp-file-load RUN-NONINTERACTIVE \"$scratch/gimp.cbmp\" \"$scratch/gimp.cbmp\")))
        (layer (car (gimp-image-get-active-layer image))))
        (gimp-file-save RUN-NONINTERACTIVE image layer \"$scratch/gimp-out.cbmp\" \"$scratch/gimp-out.cbmp\"))" \
        -b '(gimp-quit 0)' >"$scratch/gimp.log" 2>&1 || true
    cbmp -d "$scratch/gimp-out.cbmp" "$scratch/gimp-out.bmp" >/dev/null || {
        cat "$scratch/gimp.log"
        fail "GIMP did not open and export a CBMP file with the installed plug-in"
    }
    [ "$(convert "$scratch/gimp-out.bmp" rgb:- | md5sum)" = "$(convert samples/sample.bmp rgb:- | md5sum)" ] ||
        fail "GIMP: the exported CBMP file holds other pixels"
    echo "GIMP: the installed plug-in opens and exports CBMP files"
elif dpkg-query -W -f='${Status}' gimp-plugin-cbmp 2>/dev/null | grep -q "install ok installed"; then
    echo "NOT RUN: the installed GIMP plug-in: gimp-console-2.10 missing (Debian: gimp)"
fi

dpkg --purge "${packages[@]}" >/dev/null
installed=("${packages[@]}")
packages=()
for p in "${installed[@]}"; do
    ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
        fail "$p still installed"
done
[ ! -e "/usr/lib/$multiarch/libcbmp.so.1" ] || fail "libcbmp.so.1 left behind"
echo "packages ${installed[*]}: built, lintian-clean, installed, used and removed"
