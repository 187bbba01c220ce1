#!/usr/bin/env bash
# A page that touches many large entries, in the real viewer: ENTRIES compressible entries of
# 1 MiB (default 2000), half of them loaded as pictures (through the scheme), half fetched by
# script (over HTTP from the media server). While the page runs, the viewer's descriptors and
# the disk its entry files take are sampled; printed at the end with the page's own time.
#
#   bench/store/page_touch.sh [ENTRIES]
#
# KIVA_BUILD names the build directory (default: build next to this checkout; it needs the
# viewer and kvb). Runs on its own Xvfb display. Prints figures; asserts nothing.
set -euo pipefail

here="$(cd "$(dirname "$0")/../.." && pwd)"
build=${KIVA_BUILD:-$here/build}
viewer=$build/viewer/kivabook-viewer
kvb=$build/tools/kvb
entries=${1:-2000}
# Which way the page reads: both (half and half), img (all through the scheme) or fetch.
how=${KIVA_BENCH_HOW:-both}

if [[ -z "${KIVA_BENCH_INNER:-}" ]]; then
    export KIVA_BENCH_INNER=1
    exec dbus-run-session -- xvfb-run -a -s "-screen 0 1280x800x24" bash "$0" "$@"
fi
for f in "$viewer" "$kvb"; do
    [[ -x "$f" ]] || { echo "missing: $f (build the project first)" >&2; exit 2; }
done

# The site's sources are large; memory spares the disk writing them.
work=$(mktemp -d /dev/shm/kiva-touch.XXXXXX 2>/dev/null || mktemp -d "${TMPDIR:-/tmp}/kiva-touch.XXXXXX")
pid=""
cleanup() {
    [[ -z "$pid" ]] || { kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; }
    rm -rf "$work"
}
trap cleanup EXIT
# The book's entry files go to the disk below the bench's own home.
home=$(mktemp -d /var/tmp/kiva-touch-home.XXXXXX)
trap 'cleanup; rm -rf "$home"' EXIT
export HOME=$home XDG_CONFIG_HOME=$home/.config XDG_CACHE_HOME=$home/.cache
export XDG_DATA_HOME=$home/.local/share NO_AT_BRIDGE=1 GSETTINGS_BACKEND=memory
export WEBKIT_DISABLE_COMPOSITING_MODE=1 LIBGL_ALWAYS_SOFTWARE=1
mkdir -p "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$XDG_DATA_HOME" "$work/site"

python3 - "$work/site" "$entries" "$how" <<'PY'
import sys
folder, count, how = sys.argv[1], int(sys.argv[2]), sys.argv[3]
line = bytes(range(97, 123)) * 4 + b"\n"
body = line * ((1 << 20) // len(line) + 1)
for i in range(count):
    head = b"entry %d\n" % i
    with open("%s/e%04d.txt" % (folder, i), "wb") as f:
        f.write((head + body)[: 1 << 20])
with open(folder + "/index.html", "w") as f:
    f.write("""<!DOCTYPE html><html><head><title>waiting</title></head><body><script>
var count = %d, how = "%s", left = count, t0 = performance.now(), failed = 0;
function done(ok) {
  if (!ok) failed++;
  if (--left %% 100 === 0) document.title = "waiting " + left;
  if (left === 0) document.title = "DONE " + Math.round(performance.now() - t0) + " " + failed;
}
for (var i = 0; i < count; i++) {
  var name = "e" + String(i).padStart(4, "0") + ".txt";
  if (how === "img" || (how === "both" && i %% 2 === 0)) {
    var img = new Image();
    img.onload = img.onerror = function () { done(true); };
    img.src = name;
  } else {
    fetch(name).then(function (r) { return r.arrayBuffer(); })
      .then(function (b) { done(b.byteLength === 1048576); }, function () { done(false); });
  }
}
</script></body></html>""" % (count, how))
PY
printf '[Options]\nStartPage=index.html\nWindowStyle=2\nWindowWidth=640\nWindowHeight=480\n' \
    >"$work/site.ini"
"$kvb" pack "$work/site" -o "$work/site.kvb" --options "$work/site.ini" >/dev/null
rm -rf "$work/site"
echo "$entries entries of 1 MiB, $(($(stat -c %s "$work/site.kvb") / 1024)) KiB in the archive"

"$viewer" "$work/site.kvb" >"$work/viewer.log" 2>&1 &
pid=$!
title="" peak_fds=0 peak_files=0 peak_kib=0 base_fds=""
deadline=$((SECONDS + ${KIVA_BENCH_LIMIT:-600}))
while ((SECONDS < deadline)); do
    fds=$(ls "/proc/$pid/fd" 2>/dev/null | wc -l)
    files=0 kib=0
    for fd in /proc/$pid/fd/*; do
        case "$(readlink "$fd" 2>/dev/null)" in
        "$XDG_CACHE_HOME"/*/entries/*)
            files=$((files + 1))
            kib=$((kib + $(stat -L -c %b "$fd" 2>/dev/null || echo 0) / 2)) ;;
        esac
    done
    ((fds > peak_fds)) && peak_fds=$fds
    ((files > peak_files)) && peak_files=$files
    ((kib > peak_kib)) && peak_kib=$kib
    if [[ -n "${KIVA_BENCH_VERBOSE:-}" ]] && ((SECONDS % 10 == 0)); then
        echo "  ${SECONDS}s: $title, $fds descriptors, $files entry files" >&2
    fi
    w=$(xdotool search --onlyvisible --name '^(waiting|DONE|error)' 2>/dev/null | head -1 || true)
    if [[ -n "$w" ]]; then
        title=$(xdotool getwindowname "$w" 2>/dev/null || true)
        [[ -n "$base_fds" ]] || base_fds=$fds
        [[ "$title" == waiting* ]] || break
    fi
    sleep 0.05
done
kill "$pid" 2>/dev/null || true
wait "$pid" 2>/dev/null || true
pid=""
read -r ms failed < <(sed -n 's/^DONE //p' <<<"$title") || true
echo "page: ${ms:-?} ms, ${failed:-?} loads failed (title: $title)"
echo "viewer: ${base_fds:-?} descriptors when the page showed, peak $peak_fds;" \
    "peak $peak_files entry files holding $((peak_kib / 1024)) MiB"
left=$(find "$XDG_CACHE_HOME" -path '*/entries/*' 2>/dev/null | wc -l)
echo "entry files left behind after the viewer ended: $left"
