#!/usr/bin/env bash
# Each archive keeps its web data to itself: what a page of book A stores is there again the
# next time A is opened, and a page of book B never sees it.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
gui_main "$@"

make_book() { # NAME
    local site="$GUI_TMP/$1"
    mkdir -p "$site"
    cat >"$site/index.html" <<HTML
<!DOCTYPE html><html><head><title>waiting</title></head><body><script>
var seen = localStorage.getItem("note");
if (seen === null) localStorage.setItem("note", "written by $1");
document.title = "$1 sees " + (seen === null ? "nothing" : seen);
// Closing the window ends the viewer the normal way, so the storage is written out.
setTimeout(function () { window.close(); }, 300);
</script></body></html>
HTML
    gui_ini "$GUI_TMP/$1.ini" StartPage=index.html
    gui_pack "$site" "$GUI_TMP/$1.kvb" "$GUI_TMP/$1.ini"
}

open_book() { # NAME EXPECTED-TITLE
    gui_start_viewer "$VIEWER" "^$1 sees" "$GUI_TMP/$1.kvb"
    gui_wait_title "$WIN" "$2"
    gui_wait_exit "$VIEWER_PID" 20
    gui_log "$1: $2"
}

make_book bookA
make_book bookB
open_book bookA "bookA sees nothing"
open_book bookB "bookB sees nothing"
open_book bookA "bookA sees written by bookA"
# A moved copy of a book is the same book.
mv "$GUI_TMP/bookB.kvb" "$GUI_TMP/moved.kvb"
mkdir -p "$GUI_TMP/elsewhere"
mv "$GUI_TMP/moved.kvb" "$GUI_TMP/elsewhere/bookB.kvb"
gui_start_viewer "$VIEWER" "^bookB sees" "$GUI_TMP/elsewhere/bookB.kvb"
gui_wait_title "$WIN" "bookB sees written by bookB"
