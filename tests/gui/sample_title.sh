#!/usr/bin/env bash
# The self-contained sample opens its home page, and the window's caption follows the page's
# <title>, which proves the archive, the options, the "kiva" scheme and the title event end to end.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
gui_main "$@"

gui_start_viewer "$SAMPLE_EXE" '^Kivabook Sample$'
gui_wait_title "$WIN" "Kivabook Sample"
gui_log "caption is the page title"
