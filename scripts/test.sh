#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the unit and GUI tests, the archive
# and protocol tests again under AddressSanitizer and UndefinedBehaviorSanitizer, the search
# tests under ThreadSanitizer, and a short fuzzing run of the archive reader. Every build treats
# warnings as errors.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${KIVA_BUILD:-$here/build-test}"
san="${KIVA_SAN_BUILD:-$here/build-san}"
tsan="${KIVA_TSAN_BUILD:-$here/build-tsan}"
fuzz_seconds="${KIVA_FUZZ_SECONDS:-60}"
jobs="${KIVA_JOBS:-$(nproc)}"

"$here/scripts/install-deps.sh"

echo "== build"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIVA_WERROR=ON \
  -DBUILD_TESTING=ON -DKIVA_BENCH=ON >/dev/null
ninja -C "$build" -j "$jobs"

echo "== sanitizer build (framework, archive, search, platform and protocol tests)"
cmake -S "$here" -B "$san" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKIVA_SANITIZE=ON \
  -DKIVA_WERROR=ON -DBUILD_TESTING=ON -DKIVA_BENCH=OFF >/dev/null
ninja -C "$san" -j "$jobs" tests/framework/all tests/archive/all tests/search/all \
  tests/platform/all tests/protocol/all
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$san" --output-on-failure -j "$jobs" -L '^(framework|archive|search|platform|protocol)$'

echo "== thread sanitizer build (search tests: the indexer's worker and its queries)"
cmake -S "$here" -B "$tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIVA_WERROR=ON \
  -DBUILD_TESTING=ON -DKIVA_BENCH=OFF -DKIVA_GTK=OFF -DCMAKE_CXX_FLAGS=-fsanitize=thread \
  -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread >/dev/null
ninja -C "$tsan" -j "$jobs" tests/search/all
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir "$tsan" --output-on-failure -j "$jobs" -L '^search$'

echo "== fuzzing the archive reader for ${fuzz_seconds}s"
"$here/scripts/run-fuzz.sh" "$fuzz_seconds"

echo "== all tests"
ctest --test-dir "$build" --output-on-failure -j "$jobs"
