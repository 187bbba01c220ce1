#!/usr/bin/env bash
# Installs what is missing, builds, and opens the viewer on the sample site: one
# self-contained executable made by packing examples/site onto the viewer.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${KIVA_BUILD:-$here/build}"

"$here/scripts/install-deps.sh"
# Warnings never stop a user's build, even in a folder once configured for development.
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKIVA_BENCH=OFF \
  -DKIVA_WERROR=OFF >/dev/null
ninja -C "$build"

if [ -x "$build/examples/kivabook-sample" ]; then
  exec "$build/examples/kivabook-sample"
fi
# Without the viewer, show what the archive holds.
"$build/tools/kvb" list -l "$build/examples/sample.kvb"
