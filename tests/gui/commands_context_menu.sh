#!/usr/bin/env bash
# The page's context menu is the window's: its "Copy to Clipboard" puts the selected text of
# the page on the clipboard, and its "Exit" ends the viewer with status 0.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/atspi.sh"
gui_main "$@"
command -v xclip >/dev/null || {
    echo "SKIP: xclip is not installed (apt-get install xclip)"
    exit 77
}
gui_accessibility

site="$GUI_TMP/site"
mkdir -p "$site"
cat >"$site/index.html" <<'HTML'
<!DOCTYPE html><html><head><title>waiting</title></head><body>
<p id="p" style="font-size:24px">Kivabook copies this sentence.</p>
<script>
getSelection().selectAllChildren(document.getElementById('p'));
document.title = 'Selected';
</script></body></html>
HTML
gui_pack_book "$site" "$GUI_TMP/copy.kvb" AllowCopy=1
gui_start_viewer "$VIEWER" '^Selected$' "$GUI_TMP/copy.kvb"

# The right click on the page opens the window's menu.
context_menu() {
    atspi_click paragraph "" 3
    atspi wait "menu item" "Copy to Clipboard" showing 3 ||
        gui_fail "a right click on the page opened no context menu of the window"
}

printf 'before' | xclip -selection clipboard -i
context_menu
atspi_click "menu item" "Copy to Clipboard"
deadline=$((SECONDS + 10))
until [[ "$(xclip -selection clipboard -o 2>/dev/null)" == "Kivabook copies this sentence." ]]; do
    ((SECONDS < deadline)) || gui_fail "clipboard holds \"$(xclip -selection clipboard -o)\""
    sleep 0.1
done
gui_log "Copy to Clipboard copied the selection"

context_menu
atspi_click "menu item" Exit
gui_exit_without_window "$VIEWER_PID" 'COM Server Warning' 20
[[ "$GUI_STATUS" == 0 ]] || gui_fail "viewer exited with status $GUI_STATUS after Exit"
gui_log "Exit from the context menu ended the viewer"
