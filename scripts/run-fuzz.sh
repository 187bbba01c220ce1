#!/usr/bin/env bash
# Fuzzes every parser for SECONDS in all (default 60): the archive reader gets half of the time,
# the media server's request and Range parsing and the mapping of content URLs to entries a
# quarter each. Builds the targets with clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, seeds a fresh corpus for each (the archive seeds are written by
# make_fuzz_seeds, the others come from tests/fuzz/seeds/) and runs them one after the other.
# Any crash, sanitizer report, broken promise, leak, timeout or memory blow-up makes the script
# exit non-zero; the input that caused it stays in BUILD/fuzz-artifacts/TARGET/. Add such an
# input to tests/fuzz/seeds/ (or to the archive tests) once the fault is mended.
#
#   scripts/run-fuzz.sh [SECONDS]
#
# KIVA_FUZZ_BUILD names the build directory (default: build-fuzz next to this script's folder),
# KIVA_JOBS the number of parallel compile jobs (default 2).
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
build="${KIVA_FUZZ_BUILD:-$here/build-fuzz}"
jobs="${KIVA_JOBS:-2}"

if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [[ "$seconds" -lt 4 ]]; then
    echo "usage: $0 [SECONDS]   (at least 4)" >&2
    exit 2
fi

CC=clang CXX=clang++ cmake -S "$here" -B "$build" -G Ninja \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIVA_FUZZ=ON -DBUILD_TESTING=ON -DKIVA_BENCH=OFF -DKIVA_GTK=OFF >/dev/null
ninja -C "$build" -j "$jobs" fuzz_archive fuzz_http fuzz_url make_fuzz_seeds

# A memory file system spares the disk the rewrite of the input file for every run.
work="$(mktemp -d /dev/shm/kiva-fuzz.XXXXXX 2>/dev/null || mktemp -d "${TMPDIR:-/tmp}/kiva-fuzz.XXXXXX")"
trap 'rm -rf "$work"' EXIT
# The harnesses keep their input files and the deciphered temporary files there too.
mkdir -p "$work/tmp"

failed=0
# run TARGET SECONDS MAX_LEN CORPUS_SOURCE...
run() {
    local target="$1" time="$2" max_len="$3"
    shift 3
    local corpus="$work/corpus-$target" artifacts="$build/fuzz-artifacts/$target"
    mkdir -p "$corpus" "$artifacts"
    for source in "$@"; do
        cp "$source"/* "$corpus"/
    done
    local status=0
    KIVA_FUZZ_TMPDIR="$work/tmp" "$build/tests/fuzz/$target" -max_total_time="$time" \
        -rss_limit_mb=2048 -max_len="$max_len" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$artifacts/" "$corpus" || status=$?
    if [[ $status -ne 0 ]]; then
        echo "$target failed (exit $status); inputs that broke it are in $artifacts" >&2
        failed=1
    else
        echo "$target: no findings in ${time}s"
    fi
}

mkdir -p "$work/archive-seeds"
"$build/tests/fuzz/make_fuzz_seeds" "$work/archive-seeds"
quarter=$((seconds / 4))
run fuzz_archive $((seconds - 2 * quarter)) 65536 "$work/archive-seeds"
run fuzz_http "$quarter" 40000 "$here/tests/fuzz/seeds/http"
run fuzz_url "$quarter" 4096 "$here/tests/fuzz/seeds/url"
exit "$failed"
