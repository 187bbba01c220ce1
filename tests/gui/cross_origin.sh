#!/usr/bin/env bash
# The book's pages read other sites' data; other sites' pages shown as top pages, in the main
# window or in a pop-up, keep the engine's same-origin rules even after a book page was shown;
# a web frame inside a book page shares the book's reads while that page is shown. The data
# comes from a server on one loopback port that sends no cross-origin permission, the other
# site's page from a server on another.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
gui_main "$@"

data="$GUI_TMP/data"
mkdir -p "$data"
echo -n "from afar" >"$data/data.txt"
gui_web_server "$data"
data_url="http://127.0.0.1:$GUI_PORT/data.txt"

web="$GUI_TMP/web"
mkdir -p "$web"
cat >"$web/page.html" <<HTML
<!DOCTYPE html><html><head><title>web page</title></head><body><script>
function report(t) { document.title = 'web ' + t; if (parent !== window) parent.postMessage(t, '*'); }
fetch('$data_url?' + Math.random()).then(function (r) { return r.text(); })
  .then(report, function () { report('refused'); });
</script></body></html>
HTML
gui_web_server "$web"
page_url="http://127.0.0.1:$GUI_PORT/page.html"

site="$GUI_TMP/site"
mkdir -p "$site"
cat >"$site/index.html" <<HTML
<!DOCTYPE html><html><head><title>book</title><style>
body { margin: 0 } a { position: fixed; top: 0; height: 50%; width: 50%; display: block; }
iframe { position: fixed; bottom: 0; height: 40%; width: 100%; }
</style></head><body>
<a id="popup" style="left: 0" target="_blank" href="$page_url">in a pop-up</a>
<a id="main" style="right: 0" href="$page_url">in the window</a>
<script>
var book = null, frame = null;
function show() { if (book && frame) document.title = 'book ' + book + ', frame ' + frame; }
addEventListener('message', function (e) { frame = e.data; show(); });
fetch('$data_url?' + Math.random()).then(function (r) { return r.text(); })
  .then(function (t) { book = t; show(); }, function () { book = 'refused'; show(); });
</script>
<iframe src="$page_url"></iframe>
</body></html>
HTML

gui_ini "$GUI_TMP/x.ini" StartPage=index.html ShowToolBar=0
gui_pack "$site" "$GUI_TMP/x.kvb" "$GUI_TMP/x.ini"
gui_start_viewer "$VIEWER" '^book' "$GUI_TMP/x.kvb"
gui_wait_title "$WIN" "book from afar, frame from afar"
gui_log "the book's page and the web frame inside it read the other site's data"

xdotool mousemove --window "$WIN" 100 80 click 1
gui_wait_window '^web ' "$VIEWER_PID"
popup=$GUI_WID
gui_wait_title "$popup" "web refused"
gui_log "the other site's page in a pop-up keeps the same-origin rules"
# Out of the way of the clicks on the main window; there is no window manager to do it.
xdotool windowmove "$popup" 1400 0

xdotool mousemove --window "$WIN" 500 80 click 1
gui_wait_title "$WIN" "web refused"
gui_log "the other site's page in the main window keeps the same-origin rules"
