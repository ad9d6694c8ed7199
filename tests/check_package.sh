#!/usr/bin/env bash
# Builds the Debian package and checks it as a user gets it: lintian finds no
# error, its library dependencies were read off the binaries, the binaries
# name neither the source nor the build tree, and the program unpacked into a
# scratch root starts on a real X server, opens a database through its
# dialog and runs a Get whose rows reach the clipboard as the database holds
# them; an Access file proves the helper is found in its private folder.
#
#   check_package.sh <build dir> <source dir> <demo database> <Access file>
set -euo pipefail

build=$1 source=$2 demo=$3 access=$4
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Waits up to ten seconds for a command to succeed.
wait_for() {
    local deadline=$((SECONDS + 10))
    until "$@"; do
        ((SECONDS < deadline)) || return 1
        sleep 0.05
    done
}

cpack --config "$build/CPackConfig.cmake" -B "$work/package" >/dev/null
debs=("$work"/package/*.deb)
deb=${debs[0]}
[[ -f $deb ]] || fail "cpack made no package"

depends=$(dpkg-deb -f "$deb" Depends)
for library in libqt6widgets6 libsqlite3-0 libmdb3; do
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
for program in "$root/usr/bin/morvane" "$root/usr/libexec/morvane/morvane-jet-reader"; do
    for tree in "$(realpath "$source")" "$(realpath "$build")"; do
        ! LC_ALL=C grep -qaF "$tree" "$program" || fail "$program names $tree"
        ! LC_ALL=C grep -qaP "$(utf16 "$tree")" "$program" || fail "$program names $tree in UTF-16"
    done
done

# A real X server of our own, on the first free display.
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
wait_for test -s "$work/display" || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
export DISPLAY=:$(head -n1 "$work/display")

# Starts the unpacked program with empty settings, opens `database` through
# the dialog, runs `statement` and copies the grid. Prints the copied text.
get_rows() {
    local database=$1 statement=$2 home
    home=$(mktemp -d -p "$work")
    HOME=$home XDG_CONFIG_HOME=$home/config XDG_DATA_HOME=$home/data XDG_CACHE_HOME=$home/cache \
        XDG_RUNTIME_DIR=$home QT_QPA_PLATFORM=xcb "$root/usr/bin/morvane" >"$home/log" 2>&1 &
    local pid=$!
    pids+=("$pid")
    local window
    window=$(timeout 10 xdotool search --sync --name '^Select Database$') || fail "no selection dialog"
    xdotool windowfocus --sync "$window"
    xdotool type --delay 2 "$database"
    xdotool key Return
    window=$(timeout 10 xdotool search --sync --name '^Morvane [0-9.]+$') || fail "$database did not open"
    xdotool windowfocus --sync "$window"
    xdotool type --delay 2 "$statement"
    xdotool key Return
    # Back from the select box to the grid, the last control in tab order.
    xdotool key shift+Tab
    copy() {
        xdotool key ctrl+a ctrl+c
        timeout 2 xclip -o -selection clipboard >"$home/copied" 2>/dev/null && [[ -s $home/copied ]]
    }
    wait_for copy || fail "the grid gave nothing to copy after: $statement"
    kill "$pid"
    cat "$home/copied"
}

cp "$demo" "$work/shop.sqlite"
statement="select customer_id, last_name, city from customers order by customer_id"
expected=$(sqlite3 -bail -header -separator $'\t' "$work/shop.sqlite" "$statement")
copied=$(get_rows "$work/shop.sqlite" "$statement")
[[ $copied == "$expected" ]] || fail "the grid copied $(wc -l <<<"$copied") lines, not the $(wc -l <<<"$expected") of sqlite3"
echo "demo database: $(($(wc -l <<<"$copied") - 1)) rows through the installed program"

cp "$access" "$work/access.mdb"
copied=$(get_rows "$work/access.mdb" "select count(*) as n from Table1")
[[ $copied == $'n\n512' ]] || fail "the Access file gave: $copied"
echo "Access file: counted through the installed helper"
