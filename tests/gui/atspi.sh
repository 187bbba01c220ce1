# shellcheck shell=bash
# The viewer's widgets as the accessibility bus shows them, for the GUI tests that check its
# buttons, menus, find box and status bar; sourced after lib.sh. The test calls
# gui_accessibility before it starts the viewer with gui_start_viewer, and every helper here
# reads the viewer of VIEWER_PID. Clicks go to where the bus says an object is, as a person's
# would.
# shellcheck disable=SC2034

ATSPI_PY="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/atspi.py"

# atspi COMMAND [ARGS...]: see atspi.py.
atspi() { timeout 30 /usr/bin/python3 "$ATSPI_PY" "$VIEWER_PID" "$@"; }

# Waits until ROLE NAME has STATE (see atspi.py); fails the test otherwise.
atspi_expect() {
    atspi wait "$@" || gui_fail "$1 \"$2\" is not $3"
}

# Moves the mouse over the middle of a showing object: atspi_hover ROLE NAME [XDOTOOL-ACTION...]
# (e.g. "click 3") does the action there too.
atspi_hover() {
    local role=$1 name=$2 at
    shift 2
    at=$(atspi center "$role" "$name") || gui_fail "cannot see $role \"$name\""
    gui_log "mouse over $role \"$name\" at $at${*:+: $*}"
    # shellcheck disable=SC2086
    xdotool mousemove $at "$@"
}

# Clicks the middle of a showing object with the mouse (BUTTON 1 unless given).
atspi_click() { atspi_hover "$1" "$2" click "${3:-1}"; }

# Presses the showing push button NAME through its action; fails the test when there is none.
atspi_press() {
    atspi press "$1" || gui_fail "no \"$1\" button to press"
}

# Waits until the status bar reads TEXT.
atspi_wait_status() {
    atspi wait-status "$1" "${2:-$GUI_WAIT}" || gui_fail "status bar never read \"$1\""
}

# Sets ATSPI_MENU to the names of the menu items on screen, one a line; status 1 when none.
atspi_menu() {
    ATSPI_MENU=$(atspi menu 2>/dev/null) || true
    [[ -n "$ATSPI_MENU" ]]
}
