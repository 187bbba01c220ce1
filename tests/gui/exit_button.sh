#!/usr/bin/env bash
# The Exit button closes the viewer: the close parks the browser on a blank page, waits for it
# and ends the process with status 0, without asking about live COM objects (every request's
# handler has been released by then).
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/atspi.sh"
gui_main "$@"
gui_accessibility

gui_start_viewer "$SAMPLE_EXE" '^Kivabook Sample$'
# Where the bus says the button is, as a person would see it.
atspi_click "push button" Exit

gui_exit_without_window "$VIEWER_PID" 'COM Server Warning' 20
[[ "$GUI_STATUS" == 0 ]] || gui_fail "viewer exited with status $GUI_STATUS after Exit"
gui_log "Exit closed the viewer"
