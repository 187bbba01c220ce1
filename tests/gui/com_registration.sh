#!/usr/bin/env bash
# /regserver enters the handler's class in the registry file and ends without a window;
# -UNREGSERVER (another switch character, other letter case) takes every entry out again.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
gui_main "$@"

clsid='{DAF70F47-915C-46A9-913B-7C5484A16173}'
progid="$(basename "$VIEWER").OurNSHandler"
registry="$XDG_CONFIG_HOME/kivabook-viewer/registry.ini"

# Default value ("@=") of KEY under HKEY_CLASSES_ROOT; key names compare ignoring case.
reg_default() {
    [[ -f "$registry" ]] || return 0
    awk -v want="[HKEY_CLASSES_ROOT\\$1]" '
        /^\[/ { inkey = (tolower($0) == tolower(want)); next }
        inkey && /^@=/ {
            v = substr($0, 3); sub(/^"/, "", v); sub(/"$/, "", v); gsub(/\\\\/, "\\", v)
            print v; exit
        }' "$registry"
}

expect_default() {
    local key=$1 want=$2 got
    got=$(reg_default "$key")
    [[ "$got" == "$want" ]] || gui_fail "HKEY_CLASSES_ROOT\\$key is \"$got\", expected \"$want\""
}

run_switch() {
    gui_start "viewer$1" "$VIEWER" "$1"
    gui_exit_without_window "$GUI_PID" '' 15
    [[ "$GUI_STATUS" == 0 ]] || gui_fail "viewer $1 exited with status $GUI_STATUS"
}

run_switch /regserver
[[ -f "$registry" ]] || gui_fail "no registry file at $registry"
expect_default "CLSID\\$clsid" "OurNSHandler"
expect_default "CLSID\\$clsid\\LocalServer32" "$(readlink -f "$VIEWER")"
expect_default "CLSID\\$clsid\\ProgID" "$progid"
expect_default "$progid" "OurNSHandler"
expect_default "$progid\\Clsid" "$clsid"
gui_log "the five entries are written"

run_switch -UNREGSERVER
if grep -Fiq -e "$clsid" -e "$progid" "$registry"; then
    cat "$registry" >&2
    gui_fail "entries remain after -UNREGSERVER"
fi
gui_log "the entries are removed"
