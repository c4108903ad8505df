#!/usr/bin/env bash
# Installs the build tree into a scratch prefix and checks what a user of the package gets: the
# installed files and their split into components, a C program built through pkg-config and one
# through find_package(cbmp), both run on a real bitmap, and the .deb packages that CPack makes.
# Usage: check_install.sh <build dir> <scratch dir> <C compiler> <CMake generator> <sample.bmp>
set -euo pipefail
build=$1 scratch=$2 cc=$3 generator=$4 sample=$5
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$scratch"
mkdir -p "$scratch"
prefix=$scratch/prefix

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

cmake --install "$build" --prefix "$prefix" >"$scratch/install.log"
libdir=$(dirname "$(find "$prefix" -name 'libcbmp.so.1' | head -n 1)")
[ -n "$libdir" ] || fail "libcbmp.so.1 not installed"
for f in "$prefix/bin/cbmp" "$prefix/include/cbmp.h" "$libdir/libcbmp.so" \
         "$libdir/libcbmp.so.1.0.0.1" "$libdir/pkgconfig/cbmp.pc" \
         "$libdir/cmake/cbmp/cbmpConfig.cmake" "$prefix/share/man/man1/cbmp.1.gz" \
         "$prefix/share/bash-completion/completions/cbmp" "$prefix/share/doc/cbmp/cbmp-format.md"; do
    [ -e "$f" ] || fail "$f not installed"
done
[ "$(readlink "$libdir/libcbmp.so.1")" = libcbmp.so.1.0.0.1 ] || fail "libcbmp.so.1 link"
[ "$("$prefix/bin/cbmp" --version)" = "cbmp 1.0.0.1" ] || fail "installed tool does not run"
gzip -dc "$prefix/share/man/man1/cbmp.1.gz" | grep -q '^\.TH CBMP 1' || fail "manual page"

# The installed bash completion: modes first, then bitmaps or CBMP files as the mode wants.
if [ -r /usr/share/bash-completion/bash_completion ]; then
    mkdir -p "$scratch/complete/sub"
    touch "$scratch/complete/a.bmp" "$scratch/complete/b.cbmp" "$scratch/complete/c.txt"
    completions() {
        (cd "$scratch/complete" && bash -c 'source /usr/share/bash-completion/bash_completion
            source "$1"; shift
            COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
            _cbmp; printf "%s\n" "${COMPREPLY[@]}" | LC_ALL=C sort | tr "\n" " "' \
            _ "$prefix/share/bash-completion/completions/cbmp" "$@")
    }
    [ "$(completions cbmp -)" = "--help --version -c -d -h " ] || fail "completion of -"
    [ "$(completions cbmp --)" = "--help --version " ] || fail "completion of '--'"
    [ "$(completions cbmp -c "")" = "a.bmp sub " ] || fail "completion after -c"
    [ "$(completions cbmp -c a.bmp "")" = "b.cbmp sub " ] || fail "completion of the CBMP output"
    [ "$(completions cbmp -d "")" = "b.cbmp sub " ] || fail "completion after -d"
    [ "$(completions cbmp -d b.cbmp "")" = "a.bmp sub " ] || fail "completion of the BMP output"
else
    echo "bash-completion not installed: no completion check"
fi

# Each component installs only its own files.
component_files() {
    rm -rf "$scratch/component"
    cmake --install "$build" --prefix "$scratch/component" --component "$1" >/dev/null
    (cd "$scratch/component" && find . -type f -o -type l | sort)
}
tool=$(component_files tool) runtime=$(component_files runtime)
development=$(component_files development)
tool_files=4
if [ -e "$prefix/bin/cbmpz" ]; then
    # cbmpz beside cbmp (POSIX builds), on the core library, with its manual page and completion.
    tool_files=7
    cbmpz() { LD_LIBRARY_PATH=$libdir "$prefix/bin/cbmpz" "$@"; }
    [ "$(cbmpz --version)" = "cbmpz 1.0.0.1" ] || fail "installed cbmpz does not run"
    cbmpz <"$sample" | cbmpz -d | cmp - "$sample" || fail "cbmpz pipe"
    gzip -dc "$prefix/share/man/man1/cbmpz.1.gz" | grep -q '^\.TH CBMPZ 1' || fail "cbmpz manual"
    if [ -r /usr/share/bash-completion/bash_completion ]; then
        zcompletions() {
            (cd "$scratch/complete" && bash -c 'source /usr/share/bash-completion/bash_completion
                source "$1"; shift
                COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
                _cbmpz; printf "%s\n" "${COMPREPLY[@]}" | LC_ALL=C sort | tr "\n" " "' \
                _ "$prefix/share/bash-completion/completions/cbmpz" "$@")
        }
        [ "$(zcompletions cbmpz --rec)" = "--recursive " ] || fail "cbmpz completion of --rec"
        [ "$(zcompletions cbmpz "")" = "a.bmp sub " ] || fail "cbmpz completion of bitmaps"
        [ "$(zcompletions cbmpz -dk "")" = "b.cbmp sub " ] || fail "cbmpz completion after -d"
        [ "$(zcompletions cbmpz --test "")" = "b.cbmp sub " ] || fail "cbmpz completion after -t"
    fi
fi
[ "$(grep -c . <<<"$tool")" = "$tool_files" ] || fail "tool component: $tool"
[ "$runtime" = "$(printf './lib/libcbmp.so.1\n./lib/libcbmp.so.1.0.0.1')" ] ||
    fail "runtime component: $runtime"
for f in include/cbmp.h 'libcbmp\.so$' cbmp.pc cbmpConfig.cmake; do
    grep -q -- "$f" <<<"$development" || fail "development component lacks $f"
done

run_consumer() {
    local program=$1 name=$2
    LD_LIBRARY_PATH=$libdir "$program" "$sample" "$scratch/$name.cbmp" "$scratch/$name.bmp" \
        >"$scratch/$name.log" 2>&1 || fail "$name consumer failed"
    cmp -s "$sample" "$scratch/$name.bmp" || fail "$name consumer did not restore the bitmap"
}

# pkg-config, from a copy of the tree elsewhere: the .pc file finds its prefix from where it is.
cp -a "$prefix" "$scratch/moved"
moved_libdir=${libdir/#$prefix/$scratch/moved}
export PKG_CONFIG_PATH=$moved_libdir/pkgconfig
[ "$(pkg-config --modversion cbmp)" = 1.0.0.1 ] || fail "pkg-config version"
# shellcheck disable=SC2046
"$cc" -std=c11 -Wall -Werror -o "$scratch/consumer-pc" "$here/consumer/consumer.c" \
    $(pkg-config --cflags --libs cbmp)
libdir=$moved_libdir run_consumer "$scratch/consumer-pc" pkg-config

# The manual page's C example: it must build as printed and tell success from failure, also
# when a file from an earlier run is in the way.
sed -n '/^#include <cbmp.h>$/,/^}$/p' "$here/../../docs/cbmp.1" | sed 's/\\-/-/g' \
    >"$scratch/example.c"
grep -q 'BMPCompact' "$scratch/example.c" || fail "no C example in the manual page"
# shellcheck disable=SC2046
"$cc" -std=c11 -Wall -Werror -o "$scratch/example" "$scratch/example.c" \
    $(pkg-config --cflags --libs cbmp)
mkdir -p "$scratch/example-run"
cp "$sample" "$scratch/example-run/image.bmp"
(cd "$scratch/example-run" && LD_LIBRARY_PATH=$moved_libdir ../example >/dev/null) ||
    fail "the manual page's example reports a good bitmap as a failure"
[ -s "$scratch/example-run/image.cbmp" ] || fail "the manual page's example wrote nothing"
printf 'not a bitmap' >"$scratch/example-run/image.bmp"
if (cd "$scratch/example-run" && LD_LIBRARY_PATH=$moved_libdir ../example >/dev/null 2>&1); then
    fail "the manual page's example reports a bad bitmap as a success"
fi
# A good bitmap whose output cannot be written: 999 is returned, and it is no success.
cp "$sample" "$scratch/example-run/image.bmp"
rm -f "$scratch/example-run/image.cbmp"
mkdir -p "$scratch/example-run/image.cbmp/in-the-way"
if (cd "$scratch/example-run" && LD_LIBRARY_PATH=$moved_libdir ../example >/dev/null 2>&1); then
    fail "the manual page's example reports an unwritable output as a success"
fi

# find_package(cbmp) and the imported target cbmp::cbmp.
cmake -S "$here/consumer" -B "$scratch/consumer-build" -G "$generator" \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_PREFIX_PATH="$prefix" >"$scratch/consumer-configure.log"
cmake --build "$scratch/consumer-build" >"$scratch/consumer-build.log"
run_consumer "$scratch/consumer-build/consumer" find-package
cmp -s "$scratch/pkg-config.cbmp" "$scratch/find-package.cbmp" || fail "consumers disagree"

# The Debian packages, one per component (their full check, with lintian and dpkg, is
# packaging/test-debs.sh). CPack computes their dependencies with dpkg-shlibdeps and file.
if command -v dpkg-shlibdeps >/dev/null && command -v file >/dev/null; then
    (cd "$scratch" && cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/package" \
        >"$scratch/cpack.log") || fail "cpack failed"
    for package in cbmp:usr/bin/cbmp libcbmp1:libcbmp.so.1 libcbmp-dev:usr/include/cbmp.h; do
        name=${package%%:*} file=${package#*:}
        deb=$(find "$scratch/package" -maxdepth 1 -name "${name}_1.0.0.1-1_*.deb" | head -n 1)
        [ -n "$deb" ] || fail "no $name package produced"
        contents=$(dpkg-deb -c "$deb")
        grep -q -- "$file" <<<"$contents" || fail "$file missing from $deb"
    done
else
    echo "dpkg-shlibdeps or file missing (packages dpkg-dev, file): no package check"
fi
echo "install, pkg-config, find_package and package checks passed"
