#!/usr/bin/env bash
# Back, Forward and Home as a reader uses them: the buttons follow the browser's history (off
# on the first page, on after a link), their keys Alt+Left, Alt+Right and Alt+Home do the same,
# a text field being edited keeps Alt+Left and Esc for itself, and Esc ends the viewer.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/atspi.sh"
gui_main "$@"
gui_accessibility

site="$GUI_TMP/site"
mkdir -p "$site"
link='style="display:block;font-size:28px;padding:8px"'
cat >"$site/index.html" <<HTML
<!DOCTYPE html><html><head><title>First</title></head><body>
<a $link href="second.html">Second page</a></body></html>
HTML
cat >"$site/second.html" <<HTML
<!DOCTYPE html><html><head><title>Second</title></head><body>
<a $link href="third.html">Third page</a>
<p>Words to click on, away from the field.</p>
<input type="text" aria-label="Field" style="font-size:20px"></body></html>
HTML
cat >"$site/third.html" <<HTML
<!DOCTYPE html><html><head><title>Third</title></head><body><p>The end.</p></body></html>
HTML
gui_pack_book "$site" "$GUI_TMP/history.kvb"
gui_start_viewer "$VIEWER" '^First$' "$GUI_TMP/history.kvb"

atspi_expect "push button" Back '!sensitive'
atspi_expect "push button" Forward '!sensitive'
# The status bar names the link under the mouse.
atspi_hover link "Second page"
atspi_wait_status "kiva://bundle/second.html" 10
atspi_click link "Second page"
gui_wait_title "$WIN" Second
atspi_expect "push button" Back sensitive
atspi_expect "push button" Forward '!sensitive'

atspi_click "push button" Back
gui_wait_title "$WIN" First
atspi_expect "push button" Back '!sensitive'
atspi_expect "push button" Forward sensitive
atspi_click "push button" Forward
gui_wait_title "$WIN" Second
atspi_expect "push button" Forward '!sensitive'
gui_log "the buttons follow the history"

gui_key "$WIN" alt+Left
gui_wait_title "$WIN" First
gui_key "$WIN" alt+Right
gui_wait_title "$WIN" Second
atspi_click link "Third page"
gui_wait_title "$WIN" Third
atspi_click "push button" Home
gui_wait_title "$WIN" First
gui_key "$WIN" alt+Left
gui_wait_title "$WIN" Third
gui_key "$WIN" alt+Home
gui_wait_title "$WIN" First
gui_log "Alt+Left, Alt+Right, Home and Alt+Home"

# In a text field of the page, Alt+Left and Esc are the field's.
atspi_click link "Second page"
gui_wait_title "$WIN" Second
atspi_click entry Field
atspi_expect entry Field focused
gui_key "$WIN" alt+Left Escape
gui_title_stays "$WIN" Second
gui_alive "$VIEWER_PID" || gui_fail "Esc in a text field ended the viewer"
atspi_click paragraph ""
gui_key "$WIN" Escape
gui_exit_without_window "$VIEWER_PID" 'COM Server Warning' 20
[[ "$GUI_STATUS" == 0 ]] || gui_fail "viewer exited with status $GUI_STATUS after Esc"
gui_log "a text field keeps its keys; Esc on the page ends the viewer"
