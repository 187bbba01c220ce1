#!/usr/bin/env bash
# A project with a view password asks for it before anything is shown. A wrong entry (here one
# that differs only in letter case) ends the viewer silently with status 0; the right one opens
# the home page.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
gui_main "$@"

gui_ini "$GUI_TMP/pw.ini" ViewPassword=secret
gui_pack "$SITE_DIR" "$GUI_TMP/pw.kvb" "$GUI_TMP/pw.ini"

gui_start_viewer "$VIEWER" '^Password Required$' "$GUI_TMP/pw.kvb"
[[ -z "$(gui_find_window Kivabook)" ]] || gui_fail "the main window showed before the password"
gui_type_and_enter "$WIN" "Secret"
gui_exit_without_window "$VIEWER_PID" 'Kivabook Sample' 15
[[ "$GUI_STATUS" == 0 ]] || gui_fail "wrong password: viewer exited with status $GUI_STATUS"
gui_log "wrong password: quit silently"

gui_start_viewer "$VIEWER" '^Password Required$' "$GUI_TMP/pw.kvb"
gui_type_and_enter "$WIN" "secret"
gui_wait_window '^Kivabook Sample$' "$VIEWER_PID"
gui_log "right password: home page shown"
