#!/usr/bin/env bash
# Large entries as a page sees them, in the real viewer: a page fetching a 300 MiB compressible
# entry (once, then four times at once), timed by the page and set against zlib's bare
# inflation of the same bytes, with the viewer process's memory before and after; then a
# 300 MiB WebM video (made once with GStreamer and kept in the build folder): the time until it
# plays and the time of seeks to 80%, 30% and 95%.
#
#   bench/streaming/page_fetch.sh [--no-video]
#
# KIVA_BUILD names the build directory (default: build next to this checkout). Runs on its own
# Xvfb display. Prints figures; asserts nothing. Run it on an idle machine.
set -euo pipefail

here="$(cd "$(dirname "$0")/../.." && pwd)"
build=${KIVA_BUILD:-$here/build}
viewer=$build/viewer/kivabook-viewer
kvb=$build/tools/kvb
bench=$build/bench/kiva_bench_streaming
video=yes
[[ "${1:-}" == --no-video ]] && video=no

if [[ -z "${KIVA_BENCH_INNER:-}" ]]; then
    export KIVA_BENCH_INNER=1
    exec dbus-run-session -- xvfb-run -a -s "-screen 0 1280x800x24" bash "$0" "$@"
fi
for f in "$viewer" "$kvb" "$bench"; do
    [[ -x "$f" ]] || { echo "missing: $f (build the project first)" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/kiva-fetch.XXXXXX")
pid=""
cleanup() {
    [[ -z "$pid" ]] || { kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; }
    rm -rf "$work"
}
trap cleanup EXIT
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_CACHE_HOME=$work/home/.cache
export XDG_DATA_HOME=$work/home/.local/share NO_AT_BRIDGE=1 GSETTINGS_BACKEND=memory
export WEBKIT_DISABLE_COMPOSITING_MODE=1 LIBGL_ALWAYS_SOFTWARE=1 TMPDIR=$work
mkdir -p "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$XDG_DATA_HOME"

kib() { awk -v k="$2" '$1 == k":" {print $2}' "/proc/$1/status"; }

# Runs the viewer on ARCHIVE until its title starts with DONE (or error); prints the title and
# the viewer's resident memory once the page showed and at its peak.
run() {
    local archive=$1 limit=${2:-120} title="" start="" w=""
    "$viewer" "$archive" >"$work/viewer.log" 2>&1 &
    pid=$!
    local deadline=$((SECONDS + limit))
    while ((SECONDS < deadline)); do
        w=$(xdotool search --onlyvisible --name '^(waiting|DONE|error)' 2>/dev/null | head -1 || true)
        if [[ -n "$w" ]]; then
            title=$(xdotool getwindowname "$w" 2>/dev/null || true)
            [[ -n "$start" ]] || start=$(kib "$pid" VmRSS)
            [[ "$title" == waiting* ]] || break
        fi
        sleep 0.05
    done
    local peak
    peak=$(kib "$pid" VmHWM)
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    pid=""
    echo "$title"
    echo "  viewer memory: $((start / 1024)) MiB when the page showed, peak $((peak / 1024)) MiB" \
        "(grew by $(((peak - start) / 1024)) MiB)"
}

echo "== a page fetching a 300 MiB compressible entry"
bare=$("$bench" --zlib-only 300)
echo "zlib's bare inflation of the entry: $bare ms"
mkdir -p "$work/fetch"
"$bench" --write "$work/fetch/big.txt" 300
for n in 1 4; do
    cat >"$work/fetch/index.html" <<HTML
<!DOCTYPE html><html><head><title>waiting</title></head><body><script>
// N fetches at once while the entry inflates, then one more once its bytes are all in place,
// which is what the browser alone costs for such a body.
function fetchAll(n) {
  var t0 = performance.now(), all = [];
  for (var i = 0; i < n; i++) {
    all.push(fetch("big.txt").then(function (r) { return r.arrayBuffer(); }).then(function (b) {
      if (b.byteLength !== 314572800) throw new Error("short body " + b.byteLength);
    }));
  }
  return Promise.all(all).then(function () { return Math.round(performance.now() - t0); });
}
fetchAll($n).then(function (cold) {
  return fetchAll(1).then(function (warm) { document.title = "DONE " + cold + " " + warm; });
}).catch(function (e) { document.title = "error " + e; });
</script></body></html>
HTML
    printf '[Options]\nStartPage=index.html\nWindowStyle=2\nWindowWidth=640\nWindowHeight=480\n' \
        >"$work/fetch.ini"
    "$kvb" pack "$work/fetch" -o "$work/fetch.kvb" --options "$work/fetch.ini" >/dev/null
    result=$(run "$work/fetch.kvb")
    read -r ms warm < <(sed -n '1s/^DONE //p' <<<"$result")
    if [[ -n "${ms:-}" ]]; then
        echo "$n fetch(es) at once: $ms ms, $(awk -v a="$ms" -v b="$bare" 'BEGIN{printf "%.2f", a/b}')x" \
            "the bare inflation; one more with the entry in place (the browser's own cost):" \
            "$warm ms"
    else
        echo "$n fetch(es) at once: $(head -1 <<<"$result")"
    fi
    tail -1 <<<"$result"
done

[[ "$video" == yes ]] || exit 0
echo "== a 300 MiB WebM video"
clip=$build/bench-media/big.webm
if [[ ! -s "$clip" ]]; then
    mkdir -p "$(dirname "$clip")"
    echo "making $clip once (about two minutes)"
    gst-launch-1.0 -q videotestsrc pattern=snow num-buffers=3600 \
        ! video/x-raw,width=640,height=360,framerate=30/1 \
        ! vp8enc deadline=1 cpu-used=16 target-bitrate=20000000 end-usage=cbr \
        ! webmmux ! filesink location="$clip.part"
    mv "$clip.part" "$clip"
fi
mkdir -p "$work/video"
ln -s "$clip" "$work/video/big.webm"
cat >"$work/video/index.html" <<'HTML'
<!DOCTYPE html><html><head><title>waiting</title></head><body>
<video id="v" src="big.webm" muted></video>
<script>
var v = document.getElementById("v"), t0 = performance.now(), seekAt = 0, log = [], started = false;
var targets = [0.8, 0.3, 0.95];
v.addEventListener("error", function () { document.title = "error " + v.error.code; });
v.addEventListener("playing", function () {
  if (started) return;
  started = true;
  log.push("plays after " + Math.round(performance.now() - t0) + " ms");
  setTimeout(function () { seekAt = performance.now(); v.currentTime = v.duration * targets[0]; }, 300);
});
v.addEventListener("seeked", function () {
  log.push("seek to " + Math.round(targets.shift() * 100) + "% " +
           Math.round(performance.now() - seekAt) + " ms");
  if (targets.length) { seekAt = performance.now(); v.currentTime = v.duration * targets[0]; }
  else document.title = "DONE " + log.join(", ");
});
v.play();
</script></body></html>
HTML
"$kvb" pack "$work/video" -o "$work/video.kvb" --options "$work/fetch.ini" >/dev/null
run "$work/video.kvb"
