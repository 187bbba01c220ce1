#!/usr/bin/env bash
# Pages outside the book load inside the viewer: a link to a page of a local web server on
# 127.0.0.1 shows that page, and a link from it to a page the server does not have puts the
# server's status code, 404, in the status bar while the server's error page shows.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/atspi.sh"
gui_main "$@"
gui_accessibility

web="$GUI_TMP/web"
mkdir -p "$web"
cat >"$web/page.html" <<'HTML'
<!DOCTYPE html><html><head><title>served from loopback</title><style>
body { margin: 0 } a { position: fixed; inset: 0; display: block; }
</style></head><body><a href="/missing.html">to a missing page</a></body></html>
HTML
gui_web_server "$web"
port=$GUI_PORT

site="$GUI_TMP/site"
mkdir -p "$site"
cat >"$site/index.html" <<HTML
<!DOCTYPE html><html><head><title>book</title><style>
body { margin: 0 } a { position: fixed; inset: 0; display: block; }
</style></head><body><a href="http://127.0.0.1:$port/page.html">to the web</a></body></html>
HTML
gui_ini "$GUI_TMP/h.ini" StartPage=index.html ShowToolBar=0
gui_pack "$site" "$GUI_TMP/h.kvb" "$GUI_TMP/h.ini"
gui_start_viewer "$VIEWER" '^book$' "$GUI_TMP/h.kvb"

gui_click_until 300 200 1 5 gui_has_title "$WIN" "served from loopback" ||
    gui_fail "title is \"$(gui_title "$WIN")\", expected \"served from loopback\""
gui_log "the page of the local server loaded inside the viewer"
xdotool mousemove --window "$WIN" 300 200 click 1
atspi_wait_status 404
gui_log "the missing page put 404 in the status bar"
