#!/usr/bin/env bash
# Builds the Debian package with cpack and checks it with dpkg-deb: the control fields, the
# dependencies that dpkg-shlibdeps found in the programs, the file list with owners and modes,
# stripped programs, Debian's checker lintian, and (with apt) that this system could install it.
#
#   deb_package.sh BUILD_DIR EXPECTED_FILES VERSION
set -euo pipefail

build=$1 expected=$2 version=$3
for tool in cpack dpkg-deb dpkg-shlibdeps file; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIP: $tool is not installed (scripts/install-deps.sh installs it)"
        exit 77
    fi
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/kiva-deb.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1 || {
    cat "$tmp/cpack.log" >&2
    echo "FAIL: cpack -G DEB" >&2
    exit 1
}
arch=$(dpkg --print-architecture)
deb="$tmp/out/kivabook-viewer_${version}-1_${arch}.deb"
[[ -f "$deb" ]] || {
    echo "FAIL: no $deb; cpack made: $(ls "$tmp/out")" >&2
    exit 1
}

echo "== control fields"
field() { dpkg-deb -f "$deb" "$1"; }
[[ "$(field Package)" == kivabook-viewer ]] || fail "Package is $(field Package)"
[[ "$(field Version)" == "$version-1" ]] || fail "Version is $(field Version)"
[[ "$(field Architecture)" == "$arch" ]] || fail "Architecture is $(field Architecture)"
[[ "$(field Maintainer)" =~ ^[^\<]+\ \<[^\>]+@[^\>]+\>$ ]] || fail "Maintainer is $(field Maintainer)"
[[ -n "$(field Section)" && -n "$(field Description)" ]] || fail "no Section or Description"
[[ "$(field Recommends)" == *xdg-utils* ]] || fail "Recommends is $(field Recommends)"
# Computed from the programs, so each library they link has its package, with a version.
depends=$(field Depends)
for package in libc6 libstdc++6 zlib1g libglib2.0-0 libgtk-3-0 libgtkmm-3.0-1v5 \
    libwebkit2gtk-4.1-0; do
    [[ ", $depends" == *", $package (>= "* ]] ||
        fail "Depends lacks a versioned $package: $depends"
done
# The file triggers of shared-mime-info, desktop-file-utils, the icon cache and man-db register
# the files; the package needs no scripts of its own.
scripts=$(dpkg-deb -I "$deb" | grep -Eo '\b(pre|post)(inst|rm)\b' || true)
[[ -z "$scripts" ]] || fail "the package has maintainer scripts: $scripts"

echo "== files"
dpkg-deb -c "$deb" >"$tmp/contents"
while read -r perms owner _ _ _ path; do
    [[ "$owner" == root/root ]] || fail "$path belongs to $owner"
    [[ "$perms" != d* || "$perms" == drwxr-xr-x ]] || fail "folder $path has mode $perms"
done <"$tmp/contents"
mkdir "$tmp/root"
dpkg-deb -x "$deb" "$tmp/root"
diff -u <(grep -v '^#' "$expected" | sort -k2) \
    <(cd "$tmp/root/usr" && find . -type f -printf '%m %P\n' | sed 's/^\([0-7]\{3\}\) /0\1 /' |
        sort -k2) || fail "the package's files differ from $expected"
[[ -z "$(cd "$tmp/root" && find . -mindepth 1 -maxdepth 1 ! -name usr)" ]] ||
    fail "the package installs outside /usr"
for program in kivabook-viewer kvb; do
    kind=$(file -b "$tmp/root/usr/bin/$program")
    [[ "$kind" == *ELF* && "$kind" == *", stripped"* ]] || fail "$program: $kind"
done

if command -v apt-get >/dev/null 2>&1 && [[ "$(id -u)" == 0 ]]; then
    echo "== apt could install it"
    # Only a simulation: it resolves the dependencies against this system and its sources.
    if ! apt-get install -s -q "$deb" >"$tmp/apt.log" 2>&1; then
        fail "apt-get install -s: $(tail -n 5 "$tmp/apt.log")"
    elif ! grep -q '^Inst kivabook-viewer ' "$tmp/apt.log"; then
        fail "apt-get would not install it: $(tail -n 5 "$tmp/apt.log")"
    fi
fi

echo "== lintian"
# Debian's own checker: no errors (warnings are shown).
if command -v lintian >/dev/null 2>&1; then
    if ! lintian --fail-on error --tag-display-limit 0 "$deb" >"$tmp/lintian.log" 2>&1; then
        fail "lintian: $(grep -E '^E:' "$tmp/lintian.log" | head -n 10)"
    fi
    grep -E '^[EW]:' "$tmp/lintian.log" || true
else
    fail "lintian is not installed (scripts/install-deps.sh installs it)"
fi

if ((failures > 0)); then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "Debian package: all checks passed"
