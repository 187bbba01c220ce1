#!/usr/bin/env bash
# Closing the viewer while a large entry is still being inflated: the extraction stops, the
# viewer ends at once with status 0, and no entry file is left behind.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
gui_main "$@"

site="$GUI_TMP/site"
mkdir -p "$site"
# Zeros inflate quickly, but 400 MB of them still take a while to land in the entry file.
truncate -s 400M "$site/big.bin"
cat >"$site/index.html" <<'HTML'
<!DOCTYPE html><html><head><title>loading</title></head><body><script>
fetch("big.bin").then(function (r) { return r.arrayBuffer(); })
  .then(function (b) { document.title = "fetched " + b.byteLength; },
        function (e) { document.title = "failed " + e; });
document.title = "fetching";
</script></body></html>
HTML
gui_ini "$GUI_TMP/big.ini" StartPage=index.html
gui_pack "$site" "$GUI_TMP/big.kvb" "$GUI_TMP/big.ini"

gui_start_viewer "$VIEWER" '^(fetching|fetched|failed)' "$GUI_TMP/big.kvb"
# An entry file is open while the entry inflates: a descriptor of the viewer's below the
# book's cache folder.
entry_open() {
    local fd
    for fd in /proc/"$VIEWER_PID"/fd/*; do
        [[ "$(readlink "$fd" 2>/dev/null)" == "$XDG_CACHE_HOME"/kivabook-viewer/* ]] && return 0
    done
    return 1
}
for _ in $(seq 1 100); do entry_open && break; sleep 0.05; done
entry_open || gui_log "no entry file seen open (the extraction may have gone another way)"
title=$(gui_title "$WIN")
[[ "$title" != fetched* ]] || gui_log "the entry arrived before the close: $title"

start=$SECONDS
# Esc is the Exit command: the close the reader asks for.
gui_key "$WIN" Escape
gui_wait_exit "$VIEWER_PID" 20
((GUI_STATUS == 0)) || gui_fail "the viewer ended with status $GUI_STATUS"
((SECONDS - start <= 10)) || gui_fail "the viewer took $((SECONDS - start)) s to end"
gui_log "the viewer ended with status 0 in $((SECONDS - start)) s"

left=$( (find "$XDG_CACHE_HOME" -type f -path '*/entries/*'
    find "$TMPDIR" -mindepth 1 -maxdepth 1 -name 'kivabook-*') | head -5)
[[ -z "$left" ]] || gui_fail "left behind: $left"
gui_log "no entry file was left behind"
