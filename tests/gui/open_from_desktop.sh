#!/usr/bin/env bash
# The installed viewer at home on a desktop: installed into a private prefix that the XDG
# variables point at, a .kvb in a folder with spaces and non-ASCII letters opens through
# "gio open" and shows its page, with the program's icon on the window since the archive has
# no logo. Then a self-contained book with a logo, started through the launcher that
# "kvb pack --desktop-entry" wrote beside it and that a reader linked into the menu, carries
# the book's logo as its window icon.
#
# KIVA_BUILD_DIR names the build tree to install from, KIVA_CMAKE the cmake to install with.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
gui_main "$@"

for tool in gio gtk-launch update-mime-database update-desktop-database xprop; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIP: $tool is not installed (scripts/install-deps.sh installs it)"
        exit 77
    fi
done
[[ -d "${KIVA_BUILD_DIR:-}" ]] || gui_fail "KIVA_BUILD_DIR is not a build tree"

prefix="$GUI_TMP/prefix"
"${KIVA_CMAKE:-cmake}" --install "$KIVA_BUILD_DIR" --prefix "$prefix" >"$GUI_TMP/install.log" 2>&1 ||
    gui_fail "cmake --install failed: $(tail -n 5 "$GUI_TMP/install.log")"
# What the package's triggers do on a real system.
update-mime-database "$prefix/share/mime"
update-desktop-database "$prefix/share/applications"
export XDG_DATA_DIRS="$prefix/share:/usr/share"
export PATH="$prefix/bin:$PATH"

# The launchers use the test's own session bus, which lib.sh started.
launch() { timeout 15 "$@" >>"$GUI_TMP/launch.log" 2>&1; }

# Waits for the sample's window from a process this script did not start and adopts it, so
# clean-up ends it.
wait_viewer() {
    gui_wait_window '^Kivabook Sample$'
    local pid
    pid=$(xdotool getwindowpid "$GUI_WID") || gui_fail "window $GUI_WID names no process"
    GUI_PIDS+=("$pid")
    VIEWER_PID=$pid
}

close_viewer() {
    kill -TERM "$VIEWER_PID"
    gui_wait_exit "$VIEWER_PID" 10
}

# The sizes of the window's icons, one "W x H" a line.
icon_sizes() { xprop -id "$1" _NET_WM_ICON | sed -n 's/.*Icon (\([0-9]* x [0-9]*\)).*/\1/p'; }

shelf="$GUI_TMP/Bücher und Seiten"
mkdir -p "$shelf"
book="$shelf/ohne Logo – Ä.kvb"
gui_pack "$SITE_DIR" "$book" "$SAMPLE_INI"

type=$(gio info -a standard::content-type "$book" | sed -n 's/.*standard::content-type: //p')
[[ "$type" == application/x-kivabook ]] || gui_fail "$book is typed \"$type\""

launch gio open "$book" || gui_fail "gio open failed: $(cat "$GUI_TMP/launch.log")"
wait_viewer
gui_wait_title "$GUI_WID" "Kivabook Sample"
tr '\0' '\n' <"/proc/$VIEWER_PID/cmdline" | grep -qxF "$book" ||
    gui_fail "viewer was not given the path: $(tr '\0' ' ' <"/proc/$VIEWER_PID/cmdline")"
# Only the installed theme icon comes in the large sizes; the drawn stand-in is 32 pixels.
sizes=$(icon_sizes "$GUI_WID")
grep -qx '128 x 128' <<<"$sizes" || gui_fail "window icon is not the program's: $sizes"
gui_log "gio open showed the page with the program's icon"
close_viewer

# The sample's logo is 48 pixels at most, its background #2A7AB0 at (5,24).
logo="$(dirname "$SITE_DIR")/logo.ico"
# Quotes, a dollar and a percent sign test the launcher's quoting under the desktop's own rules.
exe="$shelf/Mein \"Buch\" \$1 100%"
"$KVB" pack "$SITE_DIR" -o "$exe" --options "$SAMPLE_INI" --logo "$logo" \
    --viewer "$prefix/bin/kivabook-viewer" --desktop-entry "$shelf/Mein Buch.desktop" \
    --desktop-name "Mein Buch – Ä" >"$GUI_TMP/kvb.log" 2>&1 ||
    gui_fail "kvb pack --desktop-entry failed: $(cat "$GUI_TMP/kvb.log")"
mkdir -p "$XDG_DATA_HOME/applications"
ln -s "$shelf/Mein Buch.desktop" "$XDG_DATA_HOME/applications/mein-buch.desktop"
launch gtk-launch mein-buch || gui_fail "gtk-launch failed: $(cat "$GUI_TMP/launch.log")"
wait_viewer
gui_wait_title "$GUI_WID" "Kivabook Sample"
[[ "$(readlink -f "/proc/$VIEWER_PID/exe")" == "$(readlink -f "$exe")" ]] ||
    gui_fail "the launcher started $(readlink -f "/proc/$VIEWER_PID/exe")"
read -r -a icon < <(xprop -notype -id "$GUI_WID" 32c _NET_WM_ICON | sed 's/^[^=]*= //; s/,//g')
((${#icon[@]} == 2 + 48 * 48)) || gui_fail "window icon is not the book's 48-pixel logo: $(icon_sizes "$GUI_WID")"
((icon[2 + 24 * 48 + 5] == 0xff2a7ab0)) || gui_fail "window icon is not the book's logo"
gui_log "the launcher started the book, whose window carries its logo"
close_viewer
