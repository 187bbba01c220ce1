#!/usr/bin/env bash
# The bare viewer holds a single argument to the extension ".kvb" byte for byte: the same
# archive named X.KVB makes it quit silently, with status 0 and no window at all.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
gui_main "$@"

cp "$SAMPLE_KVB" "$GUI_TMP/X.KVB"
gui_start viewer "$VIEWER" "$GUI_TMP/X.KVB"
gui_exit_without_window "$GUI_PID" 'Kivabook|Information|Error|Open' 15
[[ "$GUI_STATUS" == 0 ]] || gui_fail "viewer exited with status $GUI_STATUS"
gui_log "quit silently with status 0"
