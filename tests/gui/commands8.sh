# shellcheck shell=bash
# Helpers of the GUI tests of the reader's commands, sourced after lib.sh. They read the
# window's buttons, menus and find box through the accessibility bus (atspi8.py) and click
# them where that bus says they are, as a person would.

CMD_ATSPI="$(dirname "${BASH_SOURCE[0]}")/atspi8.py"

# Starts the accessibility bus of the test's session; the viewer started after it takes part.
cmd_accessibility() {
    command -v xclip >/dev/null || {
        echo "SKIP: xclip is not installed (apt-get install xclip)"
        exit 77
    }
    gui_accessibility
}

# Starts the viewer on an archive and waits for the page title; sets VIEWER_PID and WIN.
cmd_start_viewer() {
    local archive=$1 title=$2
    gui_start viewer "$VIEWER" "$archive"
    VIEWER_PID=$GUI_PID
    gui_wait_window "^${title}\$" "$VIEWER_PID"
    WIN=$GUI_WID
}

cmd_atspi() { /usr/bin/python3 "$CMD_ATSPI" "$VIEWER_PID" "$@"; }

# Waits until ROLE NAME has STATE (see atspi8.py); fails the test otherwise.
cmd_expect() {
    cmd_atspi wait "$@" || gui_fail "$1 \"$2\" is not $3"
}

# Clicks the middle of a showing object with the mouse.
cmd_click() {
    local role=$1 name=$2 button=${3:-1} at
    at=$(cmd_atspi center "$role" "$name") || gui_fail "cannot see $role \"$name\" to click it"
    gui_log "clicking $role \"$name\" at $at"
    # shellcheck disable=SC2086
    xdotool mousemove $at click "$button"
}

# Presses keys in the viewer's window.
cmd_keys() {
    timeout 5 xdotool windowfocus --sync "$WIN" || gui_fail "cannot focus the viewer"
    xdotool key --window "$WIN" "$@"
}

# Title of the viewer's window, waited for.
cmd_title() { gui_wait_title "$WIN" "$1" "${2:-$GUI_WAIT}"; }

# Fails when the window's title becomes TEXT within SECS (a command that must do nothing).
cmd_title_stays() {
    local text=$1 secs=${2:-1.5} now
    sleep "$secs"
    now=$(gui_title "$WIN")
    [[ "$now" == "$text" ]] || gui_fail "title changed to \"$now\", expected it to stay \"$text\""
}

# Packs a site with the sample's options changed as given: cmd_pack DIR OUT KEY=VALUE...
cmd_pack() {
    local dir=$1 out=$2
    shift 2
    gui_ini "$GUI_TMP/options.ini" "StartPage=index.html" "WindowWidth=800" \
        "WindowHeight=600" "$@"
    gui_pack "$dir" "$out" "$GUI_TMP/options.ini"
}
