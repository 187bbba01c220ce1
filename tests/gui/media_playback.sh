#!/usr/bin/env bash
# Video and audio of the archive play and seek: a WebM clip set in HTML plays and seeks to 80%,
# and a WAV sound set by script plays to its end. Both are made here with GStreamer; the page
# writes what happened into its title.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
gui_main "$@"

command -v gst-launch-1.0 >/dev/null || { echo "SKIP: gst-launch-1.0 is missing"; exit 77; }
site="$GUI_TMP/site"
mkdir -p "$site/media"
gst-launch-1.0 -q videotestsrc num-buffers=150 ! video/x-raw,width=320,height=240,framerate=30/1 \
    ! vp8enc deadline=1 ! webmmux ! filesink location="$site/media/clip.webm" ||
    gui_fail "cannot make the WebM clip"
gst-launch-1.0 -q audiotestsrc num-buffers=44 samplesperbuffer=1000 \
    ! audio/x-raw,rate=44100,channels=1 ! wavenc ! filesink location="$site/media/beep.wav" ||
    gui_fail "cannot make the WAV sound"
cat >"$site/index.html" <<'HTML'
<!DOCTYPE html><html><head><title>waiting</title></head><body>
<video id="v" src="media/clip.webm" muted></video>
<script>
var v = document.getElementById("v"), videoAt = null, audioEnded = false, seeking = false;
function show() {
  if (videoAt !== null && audioEnded)
    document.title = "video at " + Math.round(videoAt / v.duration * 100) + "%, audio ended";
}
v.addEventListener("error", function () { document.title = "video error " + v.error.code; });
v.addEventListener("timeupdate", function () {
  if (!seeking && v.currentTime > 0.2) { seeking = true; v.currentTime = v.duration * 0.8; }
});
v.addEventListener("seeked", function () { videoAt = v.currentTime; show(); });
v.play();
// Set by script, as pages do; muted, so that no user gesture is needed to start it.
var a = new Audio();
a.muted = true;
a.addEventListener("error", function () { document.title = "audio error " + a.error.code; });
a.addEventListener("ended", function () { audioEnded = true; show(); });
a.src = "media/beep.wav";
a.play();
</script></body></html>
HTML
gui_ini "$GUI_TMP/media.ini" StartPage=index.html
gui_pack "$site" "$GUI_TMP/media.kvb" "$GUI_TMP/media.ini"

gui_start_viewer "$VIEWER" '^(waiting|video|audio)' "$GUI_TMP/media.kvb"
gui_wait_title "$WIN" "video at 80%, audio ended" 30
gui_log "video played and seeked to 80%, audio played to its end"
