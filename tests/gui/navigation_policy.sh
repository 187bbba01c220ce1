#!/usr/bin/env bash
# The navigation policy as a reader meets it: a masked link hands its file, below the current
# folder, to the desktop's default application and the page stays; the bare root opens the
# root folder; a masked link that would leave the current folder is refused with a word in
# the status bar, and so is one whose file is missing; an invalid mask says so there and the
# viewer goes on.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/atspi.sh"
gui_main "$@"
gui_accessibility

# The desktop's default application, recorded: one line per file it was handed.
mkdir -p "$GUI_TMP/bin"
cat >"$GUI_TMP/bin/xdg-open" <<EOF2
#!/bin/sh
printf '%s|%s\n' "\$#" "\$1" >>"$GUI_TMP/opened.log"
EOF2
chmod +x "$GUI_TMP/bin/xdg-open"
export PATH="$GUI_TMP/bin:$PATH"
book="$GUI_TMP/book"
mkdir -p "$book/docs"
echo "program" >"$book/setup.exe"
echo "outside" >"$GUI_TMP/outside.exe"

# One link over the whole page; each click is a step, and the page points the link at the
# next address once the click has been decided (a refused link leaves the page in place).
site="$GUI_TMP/site"
mkdir -p "$site"
cat >"$site/index.html" <<'HTML'
<!DOCTYPE html><html><head><title>steps</title><style>
body { margin: 0 } a { position: fixed; inset: 0; display: block; }
</style></head><body><a id="l" href="#">step</a><script>
var steps = ["setup.exe", "kiva://bundle/", "kiva://bundle/docs\\..\\..\\outside.exe"];
var l = document.getElementById("l");
var step = 0;
l.href = steps[0];
l.addEventListener("click", function () {
  setTimeout(function () {
    step++;
    document.title = "steps " + step;
    if (step < steps.length) l.href = steps[step];
  }, 300);
});
</script></body></html>
HTML
gui_ini "$GUI_TMP/p.ini" StartPage=index.html ShowToolBar=0 'ExternalMasks=*.exe'
gui_pack "$site" "$GUI_TMP/p.kvb" "$GUI_TMP/p.ini"

cd "$book"
gui_start_viewer "$VIEWER" '^steps$' "$GUI_TMP/p.kvb"

opened_count() { [[ -f "$GUI_TMP/opened.log" ]] && wc -l <"$GUI_TMP/opened.log" || echo 0; }
# Clicks the page until its title counts the step.
click_step() {
    gui_click_until 300 200 1 5 gui_has_title "$WIN" "steps $1" ||
        gui_fail "step $1 never happened (title \"$(gui_title "$WIN")\")"
}

click_step 1
for _ in $(seq 1 50); do [[ "$(opened_count)" -ge 1 ]] && break; sleep 0.1; done
[[ "$(sed -n 1p "$GUI_TMP/opened.log" 2>/dev/null)" == "1|$book/setup.exe" ]] ||
    gui_fail "masked link handed over: $(cat "$GUI_TMP/opened.log" 2>/dev/null)"
gui_log "masked link opened $book/setup.exe as one argument; the page stayed"

click_step 2
for _ in $(seq 1 50); do [[ "$(opened_count)" -ge 2 ]] && break; sleep 0.1; done
[[ "$(sed -n 2p "$GUI_TMP/opened.log" 2>/dev/null)" == "1|/" ]] ||
    gui_fail "root link handed over: $(cat "$GUI_TMP/opened.log" 2>/dev/null)"
gui_log "the bare root opened the root folder"

click_step 3
atspi_wait_status 'Not opened: docs\..\..\outside.exe lies outside the current folder'
[[ "$(opened_count)" == 2 ]] || gui_fail "a file outside the folder was handed over"
[[ "$(gui_title "$WIN")" == "steps 3" ]] || gui_fail "the page did not stay"
gui_log "a masked link leaving the folder was refused with a word in the status bar"


xdotool windowclose "$WIN" 2>/dev/null || kill -TERM "$VIEWER_PID"
gui_wait_exit "$VIEWER_PID" 20

# A masked link to a file that is not there: nothing opens it, so the status bar says so and
# the page stays. The page follows the link itself, so no pointer over a link says otherwise.
missing="$GUI_TMP/missing"
mkdir -p "$missing"
cat >"$missing/index.html" <<'HTML'
<!DOCTYPE html><html><head><title>missing</title></head><body><script>
addEventListener("load", function () {
  setTimeout(function () { location.href = "docs/none.exe"; }, 1000);
});
</script></body></html>
HTML
gui_pack "$missing" "$GUI_TMP/m.kvb" "$GUI_TMP/p.ini"
gui_start_viewer "$VIEWER" '^missing$' "$GUI_TMP/m.kvb"
atspi_wait_status 'Not opened: docs/none.exe was not found in the current folder'
[[ "$(opened_count)" == 2 ]] || gui_fail "an opener was started for a missing file"
gui_title_stays "$WIN" missing 0.5
gui_log "a masked link to a missing file was said in the status bar"
xdotool windowclose "$WIN" 2>/dev/null || kill -TERM "$VIEWER_PID"
gui_wait_exit "$VIEWER_PID" 20

# An invalid mask: the page is not shown, the status bar tells why, and Exit still works.
gui_ini "$GUI_TMP/bad.ini" StartPage=index.html 'ExternalMasks=*.pdf;[a-'
gui_pack "$site" "$GUI_TMP/bad.kvb" "$GUI_TMP/bad.ini"
gui_start_viewer "$VIEWER" 'Kivabook' "$GUI_TMP/bad.kvb"
atspi_wait_status "'[a-' is an invalid mask at (4)"
gui_log "an invalid mask was reported in the status bar"
