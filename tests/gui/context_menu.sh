#!/usr/bin/env bash
# A right-click anywhere in a page (text, a link, an image) shows the viewer's own menu and
# nothing of the engine's; its Exit ends the viewer with status 0.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/atspi.sh"
gui_main "$@"
gui_accessibility

site="$GUI_TMP/site"
mkdir -p "$site"
cp "$SITE_DIR/images/swatch.png" "$site/swatch.png"
cat >"$site/index.html" <<'HTML'
<!DOCTYPE html><html><head><title>menus</title><style>
body { margin: 0 }
a { position: fixed; left: 0; top: 0; width: 100%; height: 100px; display: block; }
img { position: fixed; left: 0; top: 120px; width: 200px; height: 100px; }
</style></head><body><a href="other.html">a link over the top of the page</a>
<img src="swatch.png"><p style="position: fixed; top: 260px">plain text</p></body></html>
HTML
gui_ini "$GUI_TMP/menu.ini" StartPage=index.html ShowToolBar=0
gui_pack "$site" "$GUI_TMP/menu.kvb" "$GUI_TMP/menu.ini"
gui_start_viewer "$VIEWER" '^menus$' "$GUI_TMP/menu.kvb"

# Without a tool bar the page starts at the window's top; each click lands well inside its
# element.
right_click_menu() {
    gui_click_until "$1" "$2" 3 5 atspi_menu || gui_fail "no menu after a right-click at $1,$2"
}
for spot in "link 300 50" "image 100 170" "text 500 300"; do
    read -r what x y <<<"$spot"
    right_click_menu "$x" "$y"
    gui_log "menu over the $what: $(tr '\n' '|' <<<"$ATSPI_MENU")"
    grep -qx 'Copy to Clipboard' <<<"$ATSPI_MENU" || gui_fail "no viewer menu over the $what"
    grep -qx 'Exit' <<<"$ATSPI_MENU" || gui_fail "no Exit over the $what"
    if grep -Eqx 'Reload|Open Link|Open Link in New Window|Copy Link Address|Open Image in New Window|Copy Image|Inspect Element|Back|Forward|Stop' <<<"$ATSPI_MENU"; then
        gui_fail "the engine's own items showed over the $what"
    fi
    xdotool key Escape
    for _ in $(seq 1 50); do
        atspi_menu || break
        sleep 0.1
    done
done

right_click_menu 500 300
atspi click-menu Exit || gui_fail "Exit could not be chosen"
gui_wait_exit "$VIEWER_PID" 20
[[ "$GUI_STATUS" == 0 ]] || gui_fail "viewer exited with status $GUI_STATUS after Exit"
gui_log "the viewer's own menu showed everywhere and its Exit ended the viewer"
