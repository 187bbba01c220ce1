#!/usr/bin/env bash
# Start-up time of the viewer against WebKitGTK's own MiniBrowser: the time from starting the
# process to the sample's home page title on screen. The viewer runs the self-contained
# kivabook-sample (pages served out of the packed archive); MiniBrowser opens the same pages
# unpacked on disk through file://. Runs alternate between the two so that drift in the
# machine's load hits both alike; each gets one untimed warm-up run first.
#
#   bench/startup/startup_vs_minibrowser.sh [RUNS]      (default 5)
#
# KIVA_BUILD names the build directory (default: build next to this checkout);
# MINIBROWSER the MiniBrowser executable. Runs on its own Xvfb display unless DISPLAY is set
# and KIVA_USE_DISPLAY=1. Prints each run, the medians and the median of the per-pair ratios.
set -euo pipefail

here="$(cd "$(dirname "$0")/../.." && pwd)"
runs=${1:-5}
build=${KIVA_BUILD:-$here/build}
sample=$build/examples/kivabook-sample
kvb=$build/tools/kvb
archive=$build/examples/sample.kvb
minibrowser=${MINIBROWSER:-/usr/lib/x86_64-linux-gnu/webkit2gtk-4.1/MiniBrowser}
title="Kivabook Sample"

if [[ -z "${KIVA_STARTUP_INNER:-}" && "${KIVA_USE_DISPLAY:-}" != 1 ]]; then
    export KIVA_STARTUP_INNER=1
    exec xvfb-run -a -s "-screen 0 1280x800x24" bash "$0" "$@"
fi

for f in "$sample" "$kvb" "$archive" "$minibrowser"; do
    [[ -x "$f" || -f "$f" ]] || { echo "missing: $f" >&2; exit 2; }
done
command -v xdotool >/dev/null || { echo "xdotool is not installed" >&2; exit 2; }
[[ "$runs" =~ ^[1-9][0-9]*$ ]] || { echo "RUNS must be a positive number" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/kiva-startup.XXXXXX")
pid=""
cleanup() {
    if [[ -n "$pid" ]]; then
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

# Both browsers get the same private home, so neither profits from caches of a desktop session.
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_CACHE_HOME=$work/home/.cache
export XDG_DATA_HOME=$work/home/.local/share NO_AT_BRIDGE=1 GSETTINGS_BACKEND=memory
mkdir -p "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$XDG_DATA_HOME"

# MiniBrowser reads exactly the bytes the archive holds.
"$kvb" extract "$archive" -C "$work/site" >/dev/null
page="file://$work/site/index.html"
[[ -f "$work/site/index.html" ]] || { echo "the archive holds no index.html" >&2; exit 2; }

now_ms() { echo $(($(date +%s%N) / 1000000)); }

# Starts the command, waits for a visible window titled like the sample's home page, sets
# elapsed to the milliseconds that took, then ends the process. No subshell, so that the
# clean-up trap always knows the running process.
time_to_title() {
    local start end limit=$((30 * 1000))
    start=$(now_ms)
    "$@" >/dev/null 2>&1 &
    pid=$!
    while ! xdotool search --onlyvisible --limit 1 --name "^$title\$" >/dev/null 2>&1; do
        if ! kill -0 "$pid" 2>/dev/null; then
            echo "process ended before its title appeared: $*" >&2
            exit 1
        fi
        if (($(now_ms) - start > limit)); then
            echo "no title within 30 s: $*" >&2
            exit 1
        fi
        sleep 0.01
    done
    end=$(now_ms)
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    pid=""
    # Let the helper processes of the browser go before the next run starts.
    sleep 0.5
    elapsed=$((end - start))
}

median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }

viewer_run() { time_to_title "$sample"; }
mini_run() { time_to_title "$minibrowser" "$page"; }

echo "warming up (untimed)"
viewer_run
mini_run

viewer_times=()
mini_times=()
ratios=()
printf '%-5s %12s %16s %8s\n' run "viewer ms" "MiniBrowser ms" ratio
for ((i = 1; i <= runs; i++)); do
    # Alternate which of the two goes first within a pair.
    if ((i % 2)); then
        viewer_run && v=$elapsed
        mini_run && m=$elapsed
    else
        mini_run && m=$elapsed
        viewer_run && v=$elapsed
    fi
    r=$(awk -v v="$v" -v m="$m" 'BEGIN {printf "%.3f", v / m}')
    viewer_times+=("$v")
    mini_times+=("$m")
    ratios+=("$r")
    printf '%-5d %12d %16d %8s\n' "$i" "$v" "$m" "$r"
done

mv=$(median "${viewer_times[@]}")
mm=$(median "${mini_times[@]}")
mr=$(median "${ratios[@]}")
echo
echo "median time to title: viewer ${mv} ms, MiniBrowser ${mm} ms"
echo "median ratio viewer/MiniBrowser: ${mr} (target <= 1.1)"

protocol_bench=$build/bench/startup/protocol_vs_disk
if [[ -x "$protocol_bench" ]]; then
    echo
    "$protocol_bench" "$archive" "$here/examples/site/index.html"
fi
