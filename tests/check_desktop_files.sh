#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what a desktop reads:
# the files are where desktops look, the desktop entry and the AppStream data
# pass their validators, and the bitmaps have their sizes.
#
#   check_desktop_files.sh <build dir> <source dir> <application id>
set -euo pipefail

build=$1 source=$2 app_id=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/usr

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

cmake --install "$build" --prefix "$prefix" >/dev/null

for file in \
    bin/morvane \
    libexec/morvane/morvane-jet-reader \
    share/applications/"$app_id".desktop \
    share/metainfo/"$app_id".metainfo.xml \
    share/icons/hicolor/scalable/apps/"$app_id".svg \
    share/man/man1/morvane.1.gz \
    share/doc/morvane/copyright; do
    [[ -f $prefix/$file ]] || fail "not installed: $file"
done
[[ -x $prefix/libexec/morvane/morvane-jet-reader ]] || fail "the Access helper is not executable"
# Only the program goes on the search path; its helper stays private.
[[ $(ls "$prefix/bin") == morvane ]] || fail "bin/ holds more than the program: $(ls "$prefix/bin")"

desktop-file-validate "$prefix/share/applications/$app_id.desktop"
appstreamcli validate --no-net --strict --explain "$prefix/share/metainfo/$app_id.metainfo.xml" ||
    fail "appstreamcli refuses the metainfo file"
grep -qx "Categories=Development;Database;" "$prefix/share/applications/$app_id.desktop" ||
    fail "the desktop entry is not in Development and Database"
grep -q "^MimeType=.*application/vnd.sqlite3;.*application/x-msaccess;" "$prefix/share/applications/$app_id.desktop" ||
    fail "the desktop entry lacks the SQLite or Access MIME type"

# A PNG's width and height are the two big-endian words at bytes 16 to 23.
for size in 16 32 48 64 128; do
    png=$prefix/share/icons/hicolor/${size}x$size/apps/$app_id.png
    [[ -f $png ]] || fail "no $size pixel icon"
    read -r -a header < <(od -An -tu1 -j16 -N8 "$png")
    width=$(( (header[0] << 24) | (header[1] << 16) | (header[2] << 8) | header[3] ))
    height=$(( (header[4] << 24) | (header[5] << 16) | (header[6] << 8) | header[7] ))
    [[ $width == "$size" && $height == "$size" ]] || fail "the $size pixel icon is ${width}x$height"
done

gzip -dc "$prefix/share/man/man1/morvane.1.gz" | grep -q '^\.SH NAME' || fail "the man page has no NAME section"
