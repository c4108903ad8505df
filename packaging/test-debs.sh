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

dpkg --purge "${packages[@]}" >/dev/null
installed=("${packages[@]}")
packages=()
for p in "${installed[@]}"; do
    ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
        fail "$p still installed"
done
[ ! -e "/usr/lib/$multiarch/libcbmp.so.1" ] || fail "libcbmp.so.1 left behind"
echo "packages ${installed[*]}: built, lintian-clean, installed, used and removed"
