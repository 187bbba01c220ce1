# shellcheck shell=bash
# Reading the viewer's widgets through the accessibility tree: sourced by the GUI tests that
# check menus and the status bar. Call atspi7_start before starting the viewer; it puts the
# accessibility bus on the test's own session bus and lets the viewer's bridge reach it.

ATSPI7="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/atspi7.py"

atspi7_start() {
    gui_accessibility
}

# atspi7 COMMAND PID [ARGS...]: see atspi7.py.
atspi7() { timeout 30 /usr/bin/python3 "$ATSPI7" "$@"; }

# Waits until the status bar of process PID reads TEXT.
atspi7_wait_status() {
    atspi7 wait-status "$1" "$2" "${3:-$GUI_WAIT}" || gui_fail "status bar never read \"$2\""
}

# Waits until a menu of process PID shows and sets ATSPI7_MENU to its item names; status 1
# when none showed in time.
atspi7_wait_menu() {
    local pid=$1 secs=${2:-$GUI_WAIT}
    local deadline=$((SECONDS + secs))
    while ((SECONDS < deadline)); do
        ATSPI7_MENU=$(atspi7 menu "$pid" 2>/dev/null || true)
        [[ -n "$ATSPI7_MENU" ]] && return 0
        sleep 0.2
    done
    return 1
}
