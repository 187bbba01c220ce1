#!/usr/bin/env bash
# Fuzzes the archive reader for SECONDS (default 60): builds fuzz_archive with clang, libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer, writes the seed archives into a fresh corpus
# and runs the fuzzer on it. Any crash, sanitizer report, leak, timeout or memory blow-up makes
# the script exit non-zero; the input that caused it stays in BUILD/fuzz-artifacts/.
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

if ! [[ "$seconds" =~ ^[0-9]+$ ]]; then
    echo "usage: $0 [SECONDS]" >&2
    exit 2
fi

CC=clang CXX=clang++ cmake -S "$here" -B "$build" -G Ninja \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIVA_FUZZ=ON -DBUILD_TESTING=ON -DKIVA_BENCH=OFF >/dev/null
ninja -C "$build" -j "$jobs" fuzz_archive make_fuzz_seeds

# A memory file system spares the disk the rewrite of the input file for every run.
work="$(mktemp -d /dev/shm/kiva-fuzz.XXXXXX 2>/dev/null || mktemp -d "${TMPDIR:-/tmp}/kiva-fuzz.XXXXXX")"
trap 'rm -rf "$work"' EXIT
corpus="$work/corpus"
artifacts="$build/fuzz-artifacts"
mkdir -p "$corpus" "$artifacts"
"$build/tests/fuzz/make_fuzz_seeds" "$corpus"

# The harness keeps its input file and the deciphered temporary files there too.
mkdir -p "$work/tmp"
status=0
KIVA_FUZZ_TMPDIR="$work/tmp" "$build/tests/fuzz/fuzz_archive" -max_total_time="$seconds" \
    -rss_limit_mb=2048 -max_len=65536 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$corpus" || status=$?

if [[ $status -ne 0 ]]; then
    echo "fuzz_archive failed (exit $status); inputs that broke it are in $artifacts" >&2
    exit 1
fi
echo "fuzz_archive: no findings in ${seconds}s"
