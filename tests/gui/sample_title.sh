#!/usr/bin/env bash
# The self-contained sample opens its home page, and the window's caption follows the page's
# <title>, which proves the archive, the options, the "kiva" scheme and the title event end to end.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
gui_main "$@"

gui_start sample "$SAMPLE_EXE"
gui_wait_window '^Kivabook Sample$' "$GUI_PID"
gui_wait_title "$GUI_WID" "Kivabook Sample"
gui_log "caption is the page title"
