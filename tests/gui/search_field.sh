#!/usr/bin/env bash
# Searching the whole book as a reader does: Ctrl+K puts the cursor in the tool bar's search
# field, Enter shows the results page, a result opens its page with the word marked by the
# find box, and Back goes to the results and then to where the reader was.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/atspi.sh"
gui_main "$@"
gui_accessibility

site="$GUI_TMP/site"
mkdir -p "$site/docs"
cat >"$site/index.html" <<'HTML'
<!DOCTYPE html><html><head><meta charset="utf-8"><title>Home</title></head><body>
<p>Welcome to the book.</p></body></html>
HTML
cat >"$site/docs/zip.html" <<'HTML'
<!DOCTYPE html><html><head><meta charset="utf-8"><title>Zip files</title></head><body>
<h1>Working with zip files</h1><p>This module reads and writes archives.</p></body></html>
HTML
cat >"$site/docs/json.html" <<'HTML'
<!DOCTYPE html><html><head><meta charset="utf-8"><title>JSON</title></head><body>
<p>Encoders and decoders.</p></body></html>
HTML
gui_pack_book "$site" "$GUI_TMP/search.kvb" AllowFind=1
gui_start_viewer "$VIEWER" '^Home$' "$GUI_TMP/search.kvb"

atspi_expect text Search showing
gui_key "$WIN" ctrl+k
atspi_expect text Search focused
# Stemming: "archive" finds the page that says "archives".
xdotool type --delay 20 archive
xdotool key Return
gui_wait_title "$WIN" "Search: archive" 20
gui_log "the results page shows"

# The first link of the results page, by the keyboard: the page takes the focus, Tab reaches
# the link.
gui_click_until 5 100 1 2 true
xdotool key Tab Return
gui_wait_title "$WIN" "Zip files" 20
status=$(atspi findstatus 10 "1 match") || gui_fail "the find box says \"$status\""
gui_log "the result opened with its word marked"

gui_key "$WIN" alt+Left
gui_wait_title "$WIN" "Search: archive" 20
gui_key "$WIN" alt+Left
gui_wait_title "$WIN" "Home" 20
gui_log "Back went to the results and then to the first page"
