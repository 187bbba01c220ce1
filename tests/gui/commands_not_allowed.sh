#!/usr/bin/env bash
# A project that allows neither Find nor Print nor the font size: their buttons are disabled,
# their keys do nothing in the viewer, and a page's own print button prints nothing either.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/commands8.sh"
gui_main "$@"
cmd_accessibility

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
cmd_pack "$site" "$GUI_TMP/plain.kvb" AllowFind=0 AllowPrint=0 AllowFontSize=0
cmd_start_viewer "$GUI_TMP/plain.kvb" 'text [0-9]+'
title=$(gui_title "$WIN")

for button in Find Print "Font Size"; do
    cmd_expect "push button" "$button" '!sensitive'
done
cmd_expect "toggle button" Menu '!sensitive'

no_print_dialog() {
    sleep 2
    [[ -z "$(gui_find_window '^Print$')" ]] || gui_fail "a print dialog opened: $1"
}
cmd_keys ctrl+f ctrl+p ctrl+plus ctrl+plus
no_print_dialog "Ctrl+P"
cmd_expect "push button" "Find Next" absent 1
[[ "$(gui_title "$WIN")" == "$title" ]] || gui_fail "the text size changed: $(gui_title "$WIN")"

cmd_click "push button" "Print this page"
cmd_title "printed $title"
no_print_dialog "the page's window.print()"
gui_alive "$VIEWER_PID" || gui_fail "the viewer ended"
gui_log "disabled buttons, inert keys and no printing from the page"
