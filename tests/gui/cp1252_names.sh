#!/usr/bin/env bash
# Archives made on Windows store entry names in Windows-1252. A page whose name
# holds such a letter opens from an ordinary (UTF-8) link. The archive is packed with an ASCII
# stand-in for the letter and a raw directory, then that byte is changed in the directory.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
gui_main "$@"

site="$GUI_TMP/site"
mkdir -p "$site"
cat >"$site/index.html" <<'HTML'
<!DOCTYPE html><html><head><title>waiting</title></head><body>
<a id="l" href="caf%C3%A9.html">café</a>
<script>document.getElementById("l").click();</script></body></html>
HTML
cat >"$site/cafQ.html" <<'HTML'
<!DOCTYPE html><html><head><title>old name opened</title></head><body>café</body></html>
HTML
gui_ini "$GUI_TMP/cp.ini" StartPage=index.html
"$KVB" pack "$site" -o "$GUI_TMP/cp.kvb" --options "$GUI_TMP/cp.ini" --raw-directory \
    >"$GUI_TMP/kvb.log" 2>&1 || gui_fail "kvb pack failed: $(cat "$GUI_TMP/kvb.log")"
# 0xE9 is "é" in Windows-1252. The viewer does not check the archive's CRC.
python3 - "$GUI_TMP/cp.kvb" <<'PY'
import sys
path = sys.argv[1]
data = open(path, "rb").read()
old, new = b"\x09cafQ.html", b"\x09caf\xe9.html"
assert data.count(old) == 1, "the name is not in the directory exactly once"
open(path, "wb").write(data.replace(old, new))
PY

gui_start_viewer "$VIEWER" '^(waiting|old name|The requested)' "$GUI_TMP/cp.kvb"
gui_wait_title "$WIN" "old name opened"
gui_log "a UTF-8 link opened the entry stored under its Windows-1252 name"
