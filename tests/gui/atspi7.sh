# shellcheck shell=bash
# Reading the viewer's widgets through the accessibility tree: sourced by the GUI tests that
# check menus and the status bar. Call atspi7_start before starting the viewer; it puts the
# accessibility bus on the test's own session bus and lets the viewer's bridge reach it.

ATSPI7="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/atspi7.py"

atspi7_start() {
    [[ -x /usr/libexec/at-spi-bus-launcher ]] || {
        echo "SKIP: at-spi-bus-launcher is not installed (apt-get install at-spi2-core)"
        exit 77
    }
    /usr/bin/python3 -c 'import pyatspi' 2>/dev/null || {
        echo "SKIP: pyatspi is not installed (apt-get install python3-pyatspi)"
        exit 77
    }
    gui_start atspi /usr/libexec/at-spi-bus-launcher --launch-immediately
    unset NO_AT_BRIDGE
    export GTK_A11Y=atspi
    local i
    for i in $(seq 1 50); do
        dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus \
            org.a11y.Bus.GetAddress >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    gui_fail "the accessibility bus did not start"
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
