#!/usr/bin/env bash
# The window takes the project's size within what the screen allows: a fixed frame keeps the
# 200-pixel minimum width however wide its tool bar would like to be (the bar gives way and
# shows an overflow arrow), and a size far beyond the screen shrinks to the screen's work area
# (Xvfb's 1280 by 800, no panels) with the page still shown.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
gui_main "$@"

# Prints "W H" of window WID as the window system has it.
window_size() {
    xdotool getwindowgeometry "$1" |
        sed -n 's/^ *Geometry: \([0-9]*\)x\([0-9]*\)$/\1 \2/p'
}

gui_ini "$GUI_TMP/narrow.ini" WindowStyle=1 WindowWidth=50 WindowHeight=300
gui_pack "$SITE_DIR" "$GUI_TMP/narrow.kvb" "$GUI_TMP/narrow.ini"
gui_start_viewer "$VIEWER" '^Kivabook Sample$' "$GUI_TMP/narrow.kvb"
read -r w h <<<"$(window_size "$WIN")"
gui_log "fixed frame, 50 pixels asked: ${w}x${h}"
[[ "$w" == 200 ]] || gui_fail "width is $w, expected the 200-pixel minimum"
[[ "$h" == 300 ]] || gui_fail "height is $h, expected 300"
kill "$VIEWER_PID"
gui_wait_exit "$VIEWER_PID"

gui_ini "$GUI_TMP/huge.ini" WindowStyle=2 WindowWidth=24000 WindowHeight=24000
gui_pack "$SITE_DIR" "$GUI_TMP/huge.kvb" "$GUI_TMP/huge.ini"
gui_start_viewer "$VIEWER" '^Kivabook Sample$' "$GUI_TMP/huge.kvb"
gui_wait_title "$WIN" "Kivabook Sample"
read -r w h <<<"$(window_size "$WIN")"
gui_log "24000 by 24000 asked: ${w}x${h}"
((w <= 1280 && h <= 800)) || gui_fail "window is ${w}x${h}, larger than the 1280x800 screen"
# The web process lived to paint the page: its style sheet's background fills the window.
shot="$GUI_TMP/huge.png"
deadline=$((SECONDS + 15))
while :; do
    gui_shot "$WIN" "$shot"
    count=$(gui_count_colour "$shot" "#2a7ab0")
    ((count < 20000)) || break
    ((SECONDS < deadline)) || gui_fail "page not drawn ($count background pixels)"
    sleep 0.3
done
gui_alive "$VIEWER_PID" || gui_fail "the viewer ended"
gui_log "page drawn in the ${w}x${h} window"
