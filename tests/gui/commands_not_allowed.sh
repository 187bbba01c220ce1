#!/usr/bin/env bash
# A project that allows neither Find nor Print nor the font size: their buttons are disabled,
# their keys do nothing in the viewer, and a page's own print button prints nothing either.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/atspi.sh"
gui_main "$@"
gui_accessibility

site="$GUI_TMP/site"
mkdir -p "$site"
cat >"$site/index.html" <<'HTML'
<!DOCTYPE html><html><head><title>waiting</title></head><body>
<p id="p" style="font-size:16px;width:300px">Some words of a page that a reader may not
print, search or enlarge.</p>
<button onclick="window.print(); document.title = 'printed ' + document.title;"
 style="font-size:20px">Print this page</button>
<script>
var p = document.getElementById('p');
new ResizeObserver(function () {
  document.title = 'text ' + Math.round(p.getBoundingClientRect().height);
}).observe(p);
</script></body></html>
HTML
gui_pack_book "$site" "$GUI_TMP/plain.kvb" AllowFind=0 AllowPrint=0 AllowFontSize=0
gui_start_viewer "$VIEWER" '^text [0-9]+$' "$GUI_TMP/plain.kvb"
title=$(gui_title "$WIN")

for button in Find Print "Font Size"; do
    atspi_expect "push button" "$button" '!sensitive'
done
atspi_expect "toggle button" Menu '!sensitive'

no_print_dialog() {
    sleep 2
    [[ -z "$(gui_find_window '^Print$')" ]] || gui_fail "a print dialog opened: $1"
}
gui_key "$WIN" ctrl+f ctrl+p ctrl+plus ctrl+plus
no_print_dialog "Ctrl+P"
atspi_expect "push button" "Find Next" absent 1
[[ "$(gui_title "$WIN")" == "$title" ]] || gui_fail "the text size changed: $(gui_title "$WIN")"

atspi_click "push button" "Print this page"
gui_wait_title "$WIN" "printed $title"
no_print_dialog "the page's window.print()"
gui_alive "$VIEWER_PID" || gui_fail "the viewer ended"
gui_log "disabled buttons, inert keys and no printing from the page"
