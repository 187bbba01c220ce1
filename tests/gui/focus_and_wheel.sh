#!/usr/bin/env bash
# The toolkit gives the keyboard back to the page when the viewer's window is activated again,
# and the wheel scrolls the page under the pointer even before the page had the focus.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
gui_main "$@"
command -v xev >/dev/null || { echo "SKIP: xev is not installed (apt-get install x11-utils)"; exit 77; }

site="$GUI_TMP/site"
mkdir -p "$site"
cat >"$site/index.html" <<'HTML'
<!DOCTYPE html><html><head><title>ready</title></head>
<body style="margin:0"><div style="height:20000px">tall</div><script>
addEventListener("scroll", function () { document.title = "scrolled " + (scrollY > 0); });
addEventListener("keydown", function (e) { document.title = "key " + e.key; });
</script></body></html>
HTML
gui_ini "$GUI_TMP/f.ini" StartPage=index.html ShowToolBar=0
gui_pack "$site" "$GUI_TMP/f.kvb" "$GUI_TMP/f.ini"
gui_start_viewer "$VIEWER" '^ready$' "$GUI_TMP/f.kvb"

# The wheel over the page, which never had the focus.
for _ in $(seq 1 30); do
    xdotool mousemove --window "$WIN" 300 200 click 5
    gui_has_title "$WIN" "scrolled true" && break
    sleep 0.2
done
gui_wait_title "$WIN" "scrolled true" 5
gui_log "the wheel scrolled the page under the pointer"

# The page takes keys once clicked.
xdotool mousemove --window "$WIN" 300 200 click 1
gui_focused "$WIN" key a
gui_wait_title "$WIN" "key a" 5

# Another program takes the focus, then the viewer gets it back: the page has the keyboard.
gui_start xev xev -geometry 200x100+0+0
gui_wait_window '^Event Tester$' "$GUI_PID"
other=$GUI_WID
gui_focused "$other" key c
sleep 0.3
[[ "$(gui_title "$WIN")" == "key a" ]] || gui_fail "the page took a key while another window had the focus"
gui_focused "$WIN" key b
gui_wait_title "$WIN" "key b" 5
gui_log "after the viewer was activated again, the page had the keyboard"
