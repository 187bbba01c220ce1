#!/usr/bin/env bash
# An executable that carries its own archive shows that archive and never looks at a ".kvb"
# argument, even one that names a perfectly good archive with a different title.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
gui_main "$@"

mkdir -p "$GUI_TMP/other"
cat >"$GUI_TMP/other/index.html" <<'HTML'
<!DOCTYPE html>
<html><head><title>Other Archive</title></head><body><p>Not the sample.</p></body></html>
HTML
gui_ini "$GUI_TMP/other.ini" StartPage=index.html
gui_pack "$GUI_TMP/other" "$GUI_TMP/other.kvb" "$GUI_TMP/other.ini"

gui_start_viewer "$SAMPLE_EXE" '^Kivabook Sample$' "$GUI_TMP/other.kvb"
# Give a wrongly chosen archive time to load its page too before looking for it.
sleep 1
gui_title "$WIN" | grep -qx "Kivabook Sample" || gui_fail "caption changed to $(gui_title "$WIN")"
[[ -z "$(gui_find_window 'Other Archive')" ]] || gui_fail "the argument's archive was shown"
gui_log "own archive shown, argument ignored"
