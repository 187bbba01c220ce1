#!/usr/bin/env bash
# A page cannot drive the viewer through the viewer's own channels: posting to every message
# handler name the viewer has used gets nowhere and the viewer stays. A pop-up that closes
# itself inline in its head closes only itself. The page's own window.close() still ends the
# viewer, with status 0.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
gui_main "$@"

site="$GUI_TMP/site"
mkdir -p "$site"
cat >"$site/index.html" <<'HTML'
<!DOCTYPE html><html><head><title>start</title><style>
body { margin: 0 } button { position: fixed; inset: 0; width: 100%; }
</style></head><body><button id="b">go</button><script>
var names = ['kivaWindowClosing', 'kivaScriptError', 'kivaFrameComplete', 'kivaContextTarget',
             'kivaEditing'];
var messages = ['', 'true', 'table', 'kiva://bundle/index.html',
                JSON.stringify({message: 'forged', line: 1, character: 1, code: 0, url: 'x'})];
var posted = 0;
names.forEach(function (name) {
  messages.forEach(function (message) {
    try { window.webkit.messageHandlers[name].postMessage(message); posted++; } catch (e) {}
  });
});
document.title = 'posted ' + posted;
var popup = null;
document.getElementById('b').onclick = function () {
  if (popup) { window.close(); return; }
  popup = window.open('selfclose.html');
  var wait = setInterval(function () {
    if (popup && popup.closed) { clearInterval(wait); document.title = 'pop-up closed'; }
  }, 100);
};
</script></body></html>
HTML
cat >"$site/selfclose.html" <<'HTML'
<!DOCTYPE html><html><head><title>self closing</title><script>window.close();</script></head>
<body>x</body></html>
HTML

gui_ini "$GUI_TMP/c.ini" StartPage=index.html ShowToolBar=0
gui_pack "$site" "$GUI_TMP/c.kvb" "$GUI_TMP/c.ini"
gui_start_viewer "$VIEWER" '^posted 0$' "$GUI_TMP/c.kvb"
gui_title_stays "$WIN" "posted 0" 2
gui_alive "$VIEWER_PID" || gui_fail "the viewer ended after the page posted to its handlers"
gui_log "no message handler of the viewer took the page's messages; the viewer stays"

gui_click_until 300 200 1 5 gui_has_title "$WIN" "pop-up closed" ||
    gui_fail "title is \"$(gui_title "$WIN")\", expected \"pop-up closed\""
sleep 1
gui_alive "$VIEWER_PID" || gui_fail "the viewer ended when its pop-up closed itself"
[[ -z "$(gui_find_window '^self closing$')" ]] || gui_fail "the pop-up is still shown"
gui_log "the pop-up closed itself and the viewer stays"

xdotool mousemove --window "$WIN" 300 200 click 1
gui_wait_exit "$VIEWER_PID" 20
[[ "$GUI_STATUS" == 0 ]] || gui_fail "viewer exited with status $GUI_STATUS after window.close()"
gui_log "the page's own window.close() ended the viewer with status 0"
