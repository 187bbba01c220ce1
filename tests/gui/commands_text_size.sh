#!/usr/bin/env bash
# The text size as a reader changes it: Largest from the Font Size button's menu makes the
# page's text taller and Smallest shorter (measured by the page itself, which puts its
# paragraph's height in its title), pictures keep their size, the menu's mark follows, and
# Ctrl+plus, Ctrl+minus, Ctrl+0 and Ctrl+wheel step through the same five levels.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/atspi.sh"
gui_main "$@"
gui_accessibility

site="$GUI_TMP/site"
mkdir -p "$site"
cat >"$site/index.html" <<'HTML'
<!DOCTYPE html><html><head><title>waiting</title></head><body>
<p id="p" style="font-size:16px;width:300px;margin:0">Some words that wrap over more than one
line of the page when the text grows.</p>
<img id="i" width="40" height="40" alt=""
 src="data:image/gif;base64,R0lGODlhAQABAIAAAP///wAAACH5BAEAAAAALAAAAAABAAEAAAICRAEAOw==">
<script>
var p = document.getElementById('p'), i = document.getElementById('i');
new ResizeObserver(function () {
  document.title = 'text ' + Math.round(p.getBoundingClientRect().height) +
      ' picture ' + Math.round(i.getBoundingClientRect().height);
}).observe(p);
</script></body></html>
HTML
gui_pack_book "$site" "$GUI_TMP/size.kvb"
gui_start_viewer "$VIEWER" '^text [0-9]+ picture 40$' "$GUI_TMP/size.kvb"

# The page's text height at a level, read from the title once it has settled.
text_height() {
    local title
    title=$(gui_title "$WIN")
    [[ "$title" =~ ^text\ ([0-9]+)\ picture\ ([0-9]+)$ ]] || gui_fail "odd title \"$title\""
    [[ "${BASH_REMATCH[2]}" == 40 ]] || gui_fail "the picture changed size: $title"
    echo "${BASH_REMATCH[1]}"
}
# Waits until the text height satisfies the comparison with a value, e.g. wait_height -gt 40.
wait_height() {
    local op=$1 value=$2 deadline=$((SECONDS + 10)) h
    while :; do
        h=$(text_height)
        test "$h" "$op" "$value" && return 0
        ((SECONDS < deadline)) || gui_fail "text height $h, expected $op $value"
        sleep 0.1
    done
}
pick_size() {
    atspi_click "push button" "Font Size"
    atspi_click "radio menu item" "$1"
    atspi_expect "radio menu item" "$1" checked
}

sleep 0.5
medium=$(text_height)
gui_log "text height at Medium: $medium"
pick_size Largest
wait_height -gt "$((medium * 13 / 10))"
largest=$(text_height)
pick_size Smallest
wait_height -lt "$medium"
smallest=$(text_height)
gui_log "Largest $largest, Smallest $smallest"

# The keys step from Smallest: two steps up is Medium again, Ctrl+0 always is.
gui_key "$WIN" ctrl+plus
atspi_expect "radio menu item" Smaller checked
gui_key "$WIN" ctrl+equal
atspi_expect "radio menu item" Medium checked
wait_height -eq "$medium"
gui_key "$WIN" ctrl+plus ctrl+plus ctrl+plus
atspi_expect "radio menu item" Largest checked
wait_height -eq "$largest"
gui_key "$WIN" ctrl+minus
atspi_expect "radio menu item" Larger checked
gui_key "$WIN" ctrl+0
atspi_expect "radio menu item" Medium checked
wait_height -eq "$medium"

# Ctrl and the wheel over the page.
atspi_hover paragraph ""
xdotool keydown ctrl click 4 keyup ctrl
atspi_expect "radio menu item" Larger checked
wait_height -gt "$medium"
xdotool keydown ctrl click 5 click 5 keyup ctrl
atspi_expect "radio menu item" Smaller checked
wait_height -lt "$medium"
gui_log "keys and the wheel step the text size and move the mark"
