#!/usr/bin/env bash
# Runs the program as a user who installed it: given a Debian package, it is
# unpacked into a scratch root first; given a folder, the program installed
# under it is used (/ for a package installed on this machine). On an X
# server of its own the program opens a database through its dialog and runs
# a Get whose rows, copied from the grid, must be what sqlite3 reads from the
# file; then an Access file, which needs the helper in its private folder.
#
#   check_installed.sh <package.deb | root folder> <demo database> <Access file>
set -euo pipefail

installed=$1 demo=$2 access=$3
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

if [[ -d $installed ]]; then
    root=$installed
else
    root=$work/root
    dpkg -x "$installed" "$root"
fi
[[ -x $root/usr/bin/morvane ]] || fail "no program in $root/usr/bin"

# A real X server of our own, on the first free display. It must not reset
# when its last client leaves, or a program starting just then cannot connect.
Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 1024x768x24 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
wait_for test -s "$work/display" || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
export DISPLAY=:$(head -n1 "$work/display")
# The pointer in a corner, not over a completion list where it would pick a name.
xdotool mousemove 0 0

# Waits for a window whose title matches, and prints its id. A search can
# fail while another window disappears under it, so it is simply repeated.
find_window() {
    local pattern=$1 found deadline=$((SECONDS + 10))
    until found=$(xdotool search --onlyvisible --name "$pattern" 2>/dev/null) && [[ -n $found ]]; do
        ((SECONDS < deadline)) || return 1
        sleep 0.05
    done
    echo "$found" | head -n1
}

# What a failed run leaves to look at: the windows shown, the program's output.
windows_and_log() {
    echo "windows: $(xdotool search --onlyvisible --name . getwindowname %@ 2>&1 | tr '\n' ,)"
    echo "program: $(cat "$home/log")"
    echo "all windows: $(xdotool search --name . getwindowname %@ 2>&1 | tr '\n' ,)"
    echo "processes: $(ps -o pid,stat,etime,wchan:30,cmd --ppid $$ 2>&1 | tr '\n' ';')"
}

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
    window=$(find_window '^Select Database$') || fail "no selection dialog; $(windows_and_log)"
    xdotool windowfocus --sync "$window"
    xdotool type --delay 2 "$database"
    xdotool key Return
    window=$(find_window '^Morvane [0-9.]+$') ||
        fail "$database did not open; $(windows_and_log)"
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
    # Gone for good before the next run looks for its windows by name.
    kill "$pid"
    wait "$pid" 2>/dev/null || true
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
