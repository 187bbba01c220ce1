#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what a desktop will read there: the
# installed files and their modes, the desktop entry, the MIME package and the metainfo with
# their validators, the icons' sizes, the manual pages, and that with the XDG variables pointed
# at the prefix a .kvb file has the viewer's type and the viewer is that type's application.
#
#   install_tree.sh CMAKE BUILD_DIR EXPECTED_FILES VERSION
set -euo pipefail

cmake=$1 build=$2 expected=$3 version=$4
for tool in desktop-file-validate update-desktop-database update-mime-database appstreamcli \
    xdg-mime gio man file; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIP: $tool is not installed (scripts/install-deps.sh installs it)"
        exit 77
    fi
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/kiva-install.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
prefix="$tmp/prefix"
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
# Runs a validator; any output counts as a finding, since warnings are what it is there for.
quiet() {
    local out
    if ! out=$("$@" 2>&1) || [[ -n "$out" ]]; then
        fail "$* said: $out"
    fi
}

share="$prefix/share"
home="$tmp/home"
mkdir -p "$home/data" "$home/config"
# The desktop sees only the prefix and a private home.
export HOME="$home" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config"
export XDG_DATA_DIRS="$share" XDG_CONFIG_DIRS="$tmp/no-config"

"$cmake" --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1 || {
    cat "$tmp/install.log" >&2
    echo "FAIL: cmake --install" >&2
    exit 1
}

echo "== installed files"
diff -u <(grep -v '^#' "$expected" | sort -k2) \
    <(cd "$prefix" && find . -type f -printf '%m %P\n' | sed 's/^\([0-7]\{3\}\) /0\1 /' |
        sort -k2) || fail "the installed tree differs from $expected"

echo "== validators"
quiet desktop-file-validate "$share/applications/org.kivabook.Viewer.desktop"
appstreamcli validate --no-net --strict "$share/metainfo/org.kivabook.Viewer.metainfo.xml" >"$tmp/as.log" 2>&1 ||
    fail "appstreamcli validate: $(cat "$tmp/as.log")"
grep -q "<release version=\"$version\"" "$share/metainfo/org.kivabook.Viewer.metainfo.xml" ||
    fail "the metainfo does not name release $version"
# The package's triggers run these on a real system; they also check the files they read.
quiet update-mime-database "$share/mime"
quiet update-desktop-database "$share/applications"

echo "== icons"
for png in "$share"/icons/hicolor/*/*/*.png; do
    size=$(basename "$(dirname "$(dirname "$png")")")
    [[ "$(file -b "$png")" == "PNG image data, ${size/x/ x }, "* ]] ||
        fail "$png is not a ${size} PNG: $(file -b "$png")"
done

echo "== manual pages"
for page in "$share"/man/man1/*.1.gz; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
    [[ -z "$warnings" ]] || fail "$page: $warnings"
    zcat "$page" | grep -q "^\.TH .* \"Kivabook Viewer $version\"" ||
        fail "$page does not carry version $version"
done
# Every command and every option that kvb's help offers is in its manual page.
kvb_page=$(zcat "$share/man/man1/kvb.1.gz" | sed 's/\\-/-/g; s/\\f[BIRP]//g')
for command in pack list cat extract verify info; do
    grep -qw "kvb $command" <<<"$kvb_page" || fail "kvb.1 lacks the command $command"
    for option in $("$prefix/bin/kvb" "$command" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
        grep -q -- "$option\b" <<<"$kvb_page" || fail "kvb.1 lacks $command's option $option"
    done
done

echo "== completion"
# Completes as bash would call it, with the installed kvb on PATH.
completions=$(PATH="$prefix/bin:$PATH" bash -c '
    source "$1"
    complete_words() { COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _kvb; echo "${COMPREPLY[*]}"; }
    complete_words kvb ex
    complete_words kvb cat "$2" ind
    complete_words kvb list --t' bash "$share/bash-completion/completions/kvb" \
    "$share/doc/kivabook-viewer/examples/sample.kvb")
[[ "$completions" == $'extract\nindex.html\n--tsv' ]] ||
    fail "completion gave: $completions"

echo "== file type and default application"
shelf="$tmp/Bücher und Seiten"
mkdir -p "$shelf"
cp "$share/doc/kivabook-viewer/examples/sample.kvb" "$shelf/mein Buch.kvb"
cp "$share/doc/kivabook-viewer/examples/sample.kvb" "$shelf/LAUT.KVB"
(
    failures=0
    # TryExec hides the entry from desktops that cannot find the program.
    export PATH="$prefix/bin:$PATH"
    # Without a desktop named, xdg-mime asks file(1), which does not read the shared MIME
    # database; on GNOME it asks gio, as the file manager does.
    export XDG_CURRENT_DESKTOP=GNOME
    type=$(xdg-mime query filetype "$shelf/mein Buch.kvb")
    [[ "$type" == application/x-kivabook ]] || fail "mein Buch.kvb is typed \"$type\""
    # The viewer opens only names ending in lower-case ".kvb", so no other spelling is offered.
    type=$(xdg-mime query filetype "$shelf/LAUT.KVB")
    [[ "$type" != application/x-kivabook ]] || fail "LAUT.KVB is typed $type"
    app=$(xdg-mime query default application/x-kivabook)
    [[ "$app" == org.kivabook.Viewer.desktop ]] || fail "the default for .kvb is \"$app\""
    icon=$(gio info -a standard::icon "$shelf/mein Buch.kvb")
    grep -q 'application-x-kivabook' <<<"$icon" || fail "a .kvb file's icon is $icon"
    ((failures == 0))
) || fail "the file type checks failed"

echo "== a launcher made by the installed kvb"
mkdir -p "$tmp/site"
echo '<title>T</title>' >"$tmp/site/index.html"
"$prefix/bin/kvb" pack "$tmp/site" -o "$shelf/Mein \"Buch\" \$1 100%" \
    --viewer "$prefix/bin/kivabook-viewer" --desktop-entry "$shelf/Mein Buch.desktop" \
    --desktop-name 'Mein Buch – Ä' >/dev/null || fail "kvb pack --desktop-entry failed"
quiet desktop-file-validate "$shelf/Mein Buch.desktop"
[[ "$(stat -c %a "$shelf/Mein Buch.desktop")" == 755 ]] || fail "the launcher is not executable"

if ((failures > 0)); then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "install tree: all checks passed"
