#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the unit and GUI tests, the tests that
# need no display again under AddressSanitizer and UndefinedBehaviorSanitizer and under
# ThreadSanitizer, and a short fuzzing run of every parser. Every build treats warnings as
# errors.
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

echo "== thread sanitizer build (framework, archive, search, platform and protocol tests)"
cmake -S "$here" -B "$tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIVA_TSAN=ON \
  -DKIVA_WERROR=ON -DKIVA_GTK=OFF -DBUILD_TESTING=ON -DKIVA_BENCH=OFF >/dev/null
ninja -C "$tsan" -j "$jobs" tests/framework/all tests/archive/all tests/search/all \
  tests/platform/all tests/protocol/all
# ThreadSanitizer needs the address layout it knows; setarch -R keeps the kernel from moving
# the program where it does not expect it.
norandom=()
if setarch "$(uname -m)" -R true 2>/dev/null; then
  norandom=(setarch "$(uname -m)" -R)
fi
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  "${norandom[@]}" ctest --test-dir "$tsan" --output-on-failure -j "$jobs" \
  -L '^(framework|archive|search|platform|protocol)$'

echo "== fuzzing the parsers for ${fuzz_seconds}s in all"
"$here/scripts/run-fuzz.sh" "$fuzz_seconds"

echo "== all tests"
ctest --test-dir "$build" --output-on-failure -j "$jobs"
