#!/usr/bin/env bash
# Builds the Debian package and checks it as a user gets it: lintian finds no
# error, its library dependencies were read off the binaries, and the
# binaries name neither the source nor the build tree nor carry a library
# search path. The package is left
# in the output folder for check_installed.sh.
#
#   check_package.sh <build dir> <source dir> <output folder>
set -euo pipefail

build=$1 source=$2 output=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

rm -rf "$output"
cpack --config "$build/CPackConfig.cmake" -B "$output" >/dev/null
debs=("$output"/*.deb)
deb=${debs[0]}
[[ -f $deb ]] || fail "cpack made no package"

depends=$(dpkg-deb -f "$deb" Depends)
for library in libqt6widgets6 libsqlite3-0 libmdb3 libpq5; do
    [[ $depends == *"$library "* ]] || fail "the package does not depend on $library: $depends"
done

lintian_out=$work/lintian.txt
lintian --no-cfg "$deb" >"$lintian_out" 2>&1 || true
cat "$lintian_out"
! grep -q '^E: ' "$lintian_out" || fail "lintian reports errors"

root=$work/root
dpkg -x "$deb" "$root"

# Neither tree is named anywhere in the programs, as UTF-8 or as UTF-16.
utf16() {
    local text=$1 i out=
    for ((i = 0; i < ${#text}; i++)); do
        printf -v out '%s\\x%02x\\x00' "$out" "'${text:i:1}"
    done
    echo "$out"
}
for program in "$root/usr/bin/morvane" "$root/usr/libexec/morvane/morvane-jet-reader" \
    "$root/usr/libexec/morvane/morvane-postgres.so"; do
    [[ -f $program ]] || fail "the package holds no $program"
    ! readelf -d "$program" | grep -qE 'R(UN)?PATH' || fail "$program carries a library search path"
    for tree in "$(realpath "$source")" "$(realpath "$build")"; do
        ! LC_ALL=C grep -qaF "$tree" "$program" || fail "$program names $tree"
        ! LC_ALL=C grep -qaP "$(utf16 "$tree")" "$program" || fail "$program names $tree in UTF-16"
    done
done
