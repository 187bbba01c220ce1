#!/usr/bin/env bash
# A book packed with no options at all (kvb pack SITE -o BOOK) opens at its start page in a
# window a reader can use: 1024 by 768 in the middle of the screen, with tool bar and status
# bar, and Find, Print and the text size offered. The site has no index.html, so the start
# page is its only top-level page, which kvb finds itself.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/atspi.sh"
gui_main "$@"
gui_accessibility

site="$GUI_TMP/site"
mkdir -p "$site/docs"
cat >"$site/welcome.html" <<'HTML'
<!DOCTYPE html><html><head><title>Welcome to the book</title></head>
<body><p>The first page. <a href="docs/more.html">More</a></p></body></html>
HTML
cat >"$site/docs/more.html" <<'HTML'
<!DOCTYPE html><html><head><title>More</title></head><body><p>More.</p></body></html>
HTML
"$KVB" pack "$site" -o "$GUI_TMP/plain.kvb" >"$GUI_TMP/kvb.log" 2>&1 || {
    cat "$GUI_TMP/kvb.log" >&2
    gui_fail "kvb pack without options failed"
}
[[ ! -s "$GUI_TMP/kvb.log" || -z "$(grep warning "$GUI_TMP/kvb.log")" ]] ||
    gui_fail "kvb pack warned: $(cat "$GUI_TMP/kvb.log")"

gui_start_viewer "$VIEWER" '^Welcome to the book$' "$GUI_TMP/plain.kvb"
geometry=$(xdotool getwindowgeometry "$WIN")
read -r x y <<<"$(sed -n 's/^ *Position: \([0-9]*\),\([0-9]*\).*/\1 \2/p' <<<"$geometry")"
read -r w h <<<"$(sed -n 's/^ *Geometry: \([0-9]*\)x\([0-9]*\)$/\1 \2/p' <<<"$geometry")"
gui_log "window ${w}x${h} at ${x},${y}"
[[ "$w" == 1024 && "$h" == 768 ]] || gui_fail "window is ${w}x${h}, expected 1024x768"
# Xvfb's screen is 1280 by 800: the middle leaves 128 pixels at each side and 16 above.
((x >= 118 && x <= 138 && y <= 26)) || gui_fail "window at ${x},${y} is not centred"

for button in Back Home Find Print "Font Size"; do
    atspi_expect "push button" "$button" showing
done
for button in Find Print "Font Size"; do
    atspi_expect "push button" "$button" sensitive
done
atspi_expect "status bar" "*" showing
gui_alive "$VIEWER_PID" || gui_fail "the viewer ended"
gui_log "the book opened at its start page in a usable window"
