#!/usr/bin/env bash
# Find and Print as a reader uses them: the Find button opens the find box, which finds a word
# and counts it, says when a word is not there, and goes with Close or Esc (Ctrl+F brings it
# back); the Print button and Ctrl+P open the print dialog, whose Cancel closes it again.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/commands8.sh"
gui_main "$@"
cmd_accessibility

site="$GUI_TMP/site"
mkdir -p "$site"
cat >"$site/index.html" <<'HTML'
<!DOCTYPE html><html><head><title>Words</title></head><body>
<p>A kiva is a room. This page names the Kiva twice and the rest once.</p></body></html>
HTML
cmd_pack "$site" "$GUI_TMP/find.kvb"
cmd_start_viewer "$GUI_TMP/find.kvb" Words

cmd_expect "push button" "Find Next" absent 2
cmd_click "push button" Find
cmd_expect "push button" "Find Next" showing
cmd_expect text Find focused
xdotool type --delay 20 kiva
status=$(cmd_atspi findstatus 10 "2 matches") || gui_fail "find box says \"$status\""
xdotool key Return
xdotool type --delay 20 s
status=$(cmd_atspi findstatus 10 "Not found") || gui_fail "find box says \"$status\""
cmd_click "push button" Close
cmd_expect "push button" "Find Next" absent
cmd_keys ctrl+f
cmd_expect "push button" "Find Next" showing
cmd_keys Escape
cmd_expect "push button" "Find Next" absent
gui_alive "$VIEWER_PID" || gui_fail "Esc in the find box ended the viewer"
gui_log "the find box finds, counts and closes"

print_and_cancel() {
    gui_wait_window '^Print$' "$VIEWER_PID"
    local dialog=$GUI_WID
    cmd_click "push button" Cancel
    local deadline=$((SECONDS + 10))
    while [[ -n "$(gui_find_window '^Print$')" ]]; do
        ((SECONDS < deadline)) || gui_fail "the print dialog stayed after Cancel"
        sleep 0.1
    done
    gui_log "print dialog $dialog opened and cancelled"
}
cmd_click "push button" Print
print_and_cancel
cmd_keys ctrl+p
print_and_cancel
gui_alive "$VIEWER_PID" || gui_fail "the viewer ended with the print dialog"
