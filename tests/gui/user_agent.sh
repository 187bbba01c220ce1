#!/usr/bin/env bash
# The project's user-agent text reaches the page: ua.html copies navigator.userAgent into its
# title, which then becomes the caption.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
gui_main "$@"

gui_ini "$GUI_TMP/ua.ini" StartPage=ua.html UserAgentText=KivabookTest/1.0
gui_pack "$SITE_DIR" "$GUI_TMP/ua.kvb" "$GUI_TMP/ua.ini"
gui_start_viewer "$VIEWER" '^KivabookTest/1\.0$' "$GUI_TMP/ua.kvb"
gui_log "page saw the project's user agent"
