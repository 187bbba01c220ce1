#!/usr/bin/env bash
# The Exit button closes the viewer: the close parks the browser on a blank page, waits for it
# and ends the process with status 0, without asking about live COM objects (every request's
# handler has been released by then).
set -euo pipefail
source "$(dirname "$0")/lib.sh"
gui_main "$@"

gui_start_viewer "$SAMPLE_EXE" '^Kivabook Sample$'
shot="$GUI_TMP/toolbar.png"
gui_shot "$WIN" "$shot"

# Exit is the rightmost button; the logo sits in the last 40 pixels of the bar. The bounding
# box of everything drawn on the bar left of the logo therefore ends with the Exit button.
read -r width _ <<<"$(gui_size "$shot")"
box=$(convert "$shot" -crop $((width - 48))x56+0+4 +repage -fuzz 4% -format '%@' info:)
[[ "$box" =~ ^([0-9]+)x([0-9]+)\+([0-9]+)\+([0-9]+)$ ]] || gui_fail "no tool bar found ($box)"
x=$((BASH_REMATCH[3] + BASH_REMATCH[1] - 16))
y=$((4 + BASH_REMATCH[4] + BASH_REMATCH[2] / 2))
gui_log "clicking Exit at $x,$y"
xdotool mousemove --window "$WIN" "$x" "$y" click 1

gui_exit_without_window "$VIEWER_PID" 'COM Server Warning' 20
[[ "$GUI_STATUS" == 0 ]] || gui_fail "viewer exited with status $GUI_STATUS after Exit"
gui_log "Exit closed the viewer"
