#!/usr/bin/env bash
# Times `kvb pack` of a site of COUNT small pages (1,000,000 unless given) beside tar reading
# the same files (the bare work of opening and reading each once), then `kvb list` and `kvb
# cat` of the book it made, with the peak memory of each. The site is generated under $TMPDIR
# and removed at the end, whatever happens.
#
#   ninja -C build kvb && KIVA_BUILD=build bench/pack_million.sh [COUNT]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${KIVA_BUILD:-$here/build}"
kvb="$build/tools/kvb"
count="${1:-1000000}"
[ -x "$kvb" ] || { echo "no $kvb: build the kvb target first" >&2; exit 1; }

work="$(mktemp -d "${TMPDIR:-/tmp}/kiva-pack-XXXXXX")"
trap 'rm -rf "$work"' EXIT

echo "== generating $count pages under $work"
start=$(date +%s%N)
python3 - "$work/site" "$count" <<'EOF'
import os, sys
root, count = sys.argv[1], int(sys.argv[2])
per_folder = 250
for i in range(count):
    folder = os.path.join(root, "static", "sec%04d" % (i // per_folder))
    if i % per_folder == 0:
        os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "page%07d.html" % i), "w") as f:
        f.write("<html><head><title>Page %d</title></head><body><p>Page %d of the book.</p>"
                "<a href=\"page%07d.html\">next</a></body></html>\n" % (i, i, i + 1))
with open(os.path.join(root, "index.html"), "w") as f:
    f.write("<html><head><title>A book of many pages</title></head>"
            "<body><a href=\"static/sec0000/page0000000.html\">first</a></body></html>\n")
EOF
echo "generated in $((($(date +%s%N) - start) / 1000000)) ms"
sync

# Wall time, CPU time and peak resident memory of one command, on one line.
measure() {
    local label="$1"
    shift
    /usr/bin/time -f "$label: %e s wall, %U s user + %S s system, peak %M KiB" "$@"
}

echo "== reading every file once (tar), then kvb pack"
measure "tar $count pages" bash -c 'tar -C "$1" -cf - site | wc -c >/dev/null' _ "$work"
measure "pack $count pages" "$kvb" pack "$work/site" -o "$work/book.kvb" >/dev/null
ls -l "$work/book.kvb" | awk '{printf "book: %.1f MiB\n", $5 / 1048576}'
measure "list $count pages" "$kvb" list "$work/book.kvb" >"$work/list.txt"
echo "listed $(wc -l <"$work/list.txt") names"
measure "cat of the last page" "$kvb" cat "$work/book.kvb" \
    "static/sec$(printf %04d $(((count - 1) / 250)))/page$(printf %07d $((count - 1))).html" \
    >/dev/null
