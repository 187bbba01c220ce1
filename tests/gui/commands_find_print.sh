#!/usr/bin/env bash
# Find and Print as a reader uses them: the Find button opens the find box, which finds a word
# and counts it, says when a word is not there, and goes with Close or Esc (Ctrl+F brings it
# back); the Print button and Ctrl+P open the print dialog, whose Cancel closes it again.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/atspi.sh"
gui_main "$@"
gui_accessibility

site="$GUI_TMP/site"
mkdir -p "$site"
cat >"$site/index.html" <<'HTML'
<!DOCTYPE html><html><head><title>Words</title></head><body>
<p>A kiva is a room. This page names the Kiva twice and the rest once.</p></body></html>
HTML
gui_pack_book "$site" "$GUI_TMP/find.kvb"
gui_start_viewer "$VIEWER" '^Words$' "$GUI_TMP/find.kvb"

atspi_expect "push button" "Find Next" absent 2
atspi_click "push button" Find
atspi_expect "push button" "Find Next" showing
atspi_expect text Find focused
xdotool type --delay 20 kiva
status=$(atspi findstatus 10 "2 matches") || gui_fail "find box says \"$status\""
xdotool key Return
xdotool type --delay 20 s
status=$(atspi findstatus 10 "Not found") || gui_fail "find box says \"$status\""
atspi_click "push button" Close
atspi_expect "push button" "Find Next" absent
gui_key "$WIN" ctrl+f
atspi_expect "push button" "Find Next" showing
gui_key "$WIN" Escape
atspi_expect "push button" "Find Next" absent
gui_alive "$VIEWER_PID" || gui_fail "Esc in the find box ended the viewer"
gui_log "the find box finds, counts and closes"

print_and_cancel() {
    gui_wait_window '^Print$' "$VIEWER_PID"
    local dialog=$GUI_WID
    atspi_click "push button" Cancel
    local deadline=$((SECONDS + 10))
    while [[ -n "$(gui_find_window '^Print$')" ]]; do
        ((SECONDS < deadline)) || gui_fail "the print dialog stayed after Cancel"
        sleep 0.1
    done
    gui_log "print dialog $dialog opened and cancelled"
}
atspi_click "push button" Print
print_and_cancel
gui_key "$WIN" ctrl+p
print_and_cancel
gui_alive "$VIEWER_PID" || gui_fail "the viewer ended with the print dialog"
