#!/usr/bin/env bash
# An archive without "-config-" still starts: the viewer says "Error reading project options"
# in an information box before any other window and, once that is closed, goes on running.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
gui_main "$@"

"$KVB" pack -q "$SITE_DIR" -o "$GUI_TMP/bare.kvb" --no-options || gui_fail "kvb pack failed"
gui_start_viewer "$VIEWER" '^Information$' "$GUI_TMP/bare.kvb"
info=$WIN
[[ -z "$(gui_find_window Kivabook)" ]] || gui_fail "the main window showed before the box"
gui_shot "$info" "$GUI_TMP/information.png"
gui_key "$info" Return
deadline=$((SECONDS + 10))
while [[ -n "$(gui_find_window '^Information$')" ]]; do
    ((SECONDS < deadline)) || gui_fail "the information box did not close on Return"
    sleep 0.05
done
# Start-up goes on with every option zero, and the main window shows.
gui_wait_window '^Kivabook Viewer$' "$VIEWER_PID"
sleep 1
gui_alive "$VIEWER_PID" || gui_fail "viewer ended after the information box"
gui_log "information box shown and closed; main window shown, viewer still running"
