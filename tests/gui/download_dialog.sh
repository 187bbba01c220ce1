#!/usr/bin/env bash
# A link to an entry the engine cannot show (a .zip in the book) offers a save dialog; the
# file saved where the reader said holds the entry's bytes intact, and nothing is saved
# anywhere before or without the reader's word.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
gui_main "$@"

site="$GUI_TMP/site"
mkdir -p "$site"
/usr/bin/python3 - "$site/bundle.zip" <<'PY'
import os, sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_STORED) as z:
    z.writestr("data.bin", os.urandom(200000))
PY
cat >"$site/index.html" <<'HTML'
<!DOCTYPE html><html><head><title>downloads</title><style>
body { margin: 0 } a { position: fixed; inset: 0; display: block; }
</style></head><body><a href="bundle.zip">the archive</a></body></html>
HTML
gui_ini "$GUI_TMP/d.ini" StartPage=index.html ShowToolBar=0 ExternalMasks=
gui_pack "$site" "$GUI_TMP/d.kvb" "$GUI_TMP/d.ini"
gui_start_viewer "$VIEWER" '^downloads$' "$GUI_TMP/d.kvb"

# Clicks the link until the save dialog shows; sets GUI_WID to the dialog.
save_dialog() {
    GUI_WID=$(gui_find_window '^Save File$')
    [[ -n "$GUI_WID" ]]
}
open_dialog() {
    gui_click_until 300 200 1 6 save_dialog || gui_fail "no save dialog after clicking the link"
}

unsaved() {
    find "$HOME" "$GUI_TMP/saved" -name '*.zip' 2>/dev/null | head -1
}
mkdir -p "$GUI_TMP/saved"

# Cancelled: nothing is kept.
open_dialog
sleep 1
[[ -z "$(unsaved)" ]] || gui_fail "saved before the reader chose: $(unsaved)"
gui_focused "$GUI_WID" key Escape
for _ in $(seq 1 50); do [[ -z "$(gui_find_window '^Save File$')" ]] && break; sleep 0.1; done
sleep 1
[[ -z "$(unsaved)" ]] || gui_fail "saved although cancelled: $(unsaved)"
gui_log "a cancelled save left nothing behind"

# Saved under the reader's name: the entry's bytes, intact.
open_dialog
gui_focused "$GUI_WID" key ctrl+a
gui_focused "$GUI_WID" type --delay 15 -- "$GUI_TMP/saved/copy.zip"
gui_focused "$GUI_WID" key Return
for _ in $(seq 1 100); do
    cmp -s "$site/bundle.zip" "$GUI_TMP/saved/copy.zip" && break
    sleep 0.1
done
cmp "$site/bundle.zip" "$GUI_TMP/saved/copy.zip" || gui_fail "the saved file differs"
[[ "$(gui_title "$WIN")" == "downloads" ]] || gui_fail "the page did not stay"
gui_log "the .zip entry was saved intact where the reader said"
