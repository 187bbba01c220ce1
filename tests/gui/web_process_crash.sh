#!/usr/bin/env bash
# When the process that shows the pages dies, the viewer says so in the page area; Home and
# Back work again afterwards, and Exit still ends the viewer with status 0.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/atspi.sh"
gui_main "$@"
gui_accessibility

site="$GUI_TMP/site"
mkdir -p "$site"
cat >"$site/index.html" <<'HTML'
<!DOCTYPE html><html><head><title>home page</title></head><body>
<a id="l" href="second.html">second</a>
<script>
if (!sessionStorage.getItem("went")) {
  sessionStorage.setItem("went", "1");
  setTimeout(function () { document.getElementById("l").click(); }, 300);
}
</script>
</body></html>
HTML
cat >"$site/second.html" <<'HTML'
<!DOCTYPE html><html><head><title>second page</title></head><body>second</body></html>
HTML
gui_ini "$GUI_TMP/c.ini" StartPage=index.html
gui_pack "$site" "$GUI_TMP/c.kvb" "$GUI_TMP/c.ini"
gui_start_viewer "$VIEWER" '^second page$' "$GUI_TMP/c.kvb"

# The viewer's own web process, found among its children by name and ended by its id.
webproc=""
for _ in $(seq 1 50); do
    for child in $(pgrep -P "$VIEWER_PID" || true); do
        [[ "$(cat "/proc/$child/comm" 2>/dev/null)" == WebKitWebProces* ]] && webproc=$child
    done
    [[ -n "$webproc" ]] && break
    sleep 0.1
done
[[ -n "$webproc" ]] || gui_fail "no web process of the viewer found"
kill -KILL "$webproc"
gui_log "killed the web process $webproc"
gui_wait_title "$WIN" "The page stopped"
gui_log "the page area tells that the page stopped"

# Back leaves the message for a page of the book again.
atspi_press Back
gui_wait_title "$WIN" "second page"
atspi_press Home
gui_wait_title "$WIN" "home page"
gui_log "Back and Home work again"

atspi_press Exit
gui_wait_exit "$VIEWER_PID" 20
[[ "$GUI_STATUS" == 0 ]] || gui_fail "viewer exited with status $GUI_STATUS after Exit"
gui_log "Exit ended the viewer with status 0"
