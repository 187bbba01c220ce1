#!/usr/bin/env bash
# Back, Forward and Home as a reader uses them: the buttons follow the browser's history (off
# on the first page, on after a link), their keys Alt+Left, Alt+Right and Alt+Home do the same,
# a text field being edited keeps Alt+Left and Esc for itself, and Esc ends the viewer.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/commands8.sh"
gui_main "$@"
cmd_accessibility

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
cmd_pack "$site" "$GUI_TMP/history.kvb"
cmd_start_viewer "$GUI_TMP/history.kvb" First

cmd_expect "push button" Back '!sensitive'
cmd_expect "push button" Forward '!sensitive'
# The status bar names the link under the mouse.
# shellcheck disable=SC2046
xdotool mousemove $(cmd_atspi center link "Second page")
deadline=$((SECONDS + 10))
until [[ "$(cmd_atspi text "status bar" "*")" == "kiva://bundle/second.html" ]]; do
    ((SECONDS < deadline)) || gui_fail "status bar says \"$(cmd_atspi text "status bar" "*")\""
    sleep 0.1
done
cmd_click link "Second page"
cmd_title Second
cmd_expect "push button" Back sensitive
cmd_expect "push button" Forward '!sensitive'

cmd_click "push button" Back
cmd_title First
cmd_expect "push button" Back '!sensitive'
cmd_expect "push button" Forward sensitive
cmd_click "push button" Forward
cmd_title Second
cmd_expect "push button" Forward '!sensitive'
gui_log "the buttons follow the history"

cmd_keys alt+Left
cmd_title First
cmd_keys alt+Right
cmd_title Second
cmd_click link "Third page"
cmd_title Third
cmd_click "push button" Home
cmd_title First
cmd_keys alt+Left
cmd_title Third
cmd_keys alt+Home
cmd_title First
gui_log "Alt+Left, Alt+Right, Home and Alt+Home"

# In a text field of the page, Alt+Left and Esc are the field's.
cmd_click link "Second page"
cmd_title Second
cmd_click entry Field
cmd_expect entry Field focused
cmd_keys alt+Left Escape
cmd_title_stays Second
gui_alive "$VIEWER_PID" || gui_fail "Esc in a text field ended the viewer"
cmd_click paragraph ""
cmd_keys Escape
gui_exit_without_window "$VIEWER_PID" 'COM Server Warning' 20
[[ "$GUI_STATUS" == 0 ]] || gui_fail "viewer exited with status $GUI_STATUS after Esc"
gui_log "a text field keeps its keys; Esc on the page ends the viewer"
