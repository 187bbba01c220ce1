# shellcheck shell=bash
# Results travel in the globals GUI_PID, GUI_WID, GUI_STATUS, VIEWER_PID and WIN, read by the
# test scripts.
# shellcheck disable=SC2034

# Helpers for the GUI tests. Each test runs the real viewer on a virtual X display of its own,
# with a private home (so WebKit's caches and the registry file of one test never leak into
# another), and drives it the way a reader would: it waits for windows by title, types into
# dialogs and looks at pixels of screenshots.
#
# A test script starts with:
#   source "$(dirname "$0")/lib.sh"
#   gui_main "$@"
# and CTest passes every script the same arguments:
#   VIEWER SAMPLE_EXE SAMPLE_KVB KVB SITE_DIR SAMPLE_INI [ARTIFACTS_DIR]
#
# Environment notes, found by running WebKit's own MiniBrowser and the viewer under Xvfb as root:
# - No sandbox switch is needed: WebKitGTK 2.x on Debian 12 starts its web process as root
#   without WEBKIT_DISABLE_SANDBOX_THIS_IS_DANGEROUS.
# - NO_AT_BRIDGE=1 keeps GTK from looking for the accessibility bus, which does not exist here
#   and otherwise costs a timeout and a warning per process.
# - WEBKIT_DISABLE_COMPOSITING_MODE=1 and LIBGL_ALWAYS_SOFTWARE=1 keep WebKit away from GL,
#   which Xvfb has only in software; without them pages may render blank on some set-ups.
# - GSETTINGS_BACKEND=memory keeps GTK's file chooser from trying to start a session bus for
#   dconf, which fails here with a warning on every settings change.
# - There is no window manager: windows are focused with "xdotool windowfocus", never with
#   "windowactivate", which needs one.

# Time limit of one whole test, display start-up included.
GUI_TEST_LIMIT=${GUI_TEST_LIMIT:-60}
# How long a single wait for a window or a process may take.
GUI_WAIT=${GUI_WAIT:-20}

GUI_PIDS=()

gui_log() { printf '[%s] %s\n' "$(date +%H:%M:%S.%N | cut -c1-12)" "$*" >&2; }

# Runs the calling script again on a fresh virtual display with a session bus of its own,
# bounded in time. Tools that are missing make the test skip (exit 77) instead of fail.
gui_main() {
    if [[ -z "${KIVA_GUI_INNER:-}" ]]; then
        local tool
        for tool in xvfb-run Xvfb xdotool import convert timeout dbus-run-session; do
            if ! command -v "$tool" >/dev/null 2>&1; then
                echo "SKIP: $tool is not installed" \
                    "(apt-get install xvfb xdotool imagemagick dbus-daemon)"
                exit 77
            fi
        done
        export KIVA_GUI_INNER=1
        # timeout signals its whole process group, so the viewer, its WebKit helpers and the
        # bus go too. dbus-run-session ends its bus when the test ends; without it, GLib would
        # start one of its own for the display, and that one outlives the test.
        exec timeout -k 5 "$GUI_TEST_LIMIT" dbus-run-session -- \
            xvfb-run -a -s "-screen 0 1280x800x24" bash "$0" "$@"
    fi
    gui_args "$@"
    gui_setup
}

gui_args() {
    if (($# < 6)); then
        echo "usage: $0 VIEWER SAMPLE_EXE SAMPLE_KVB KVB SITE_DIR SAMPLE_INI [ARTIFACTS_DIR]" >&2
        exit 2
    fi
    VIEWER=$1
    SAMPLE_EXE=$2
    SAMPLE_KVB=$3
    KVB=$4
    SITE_DIR=$5
    SAMPLE_INI=$6
    ARTIFACTS=${7:-}
    local f
    for f in "$VIEWER" "$SAMPLE_EXE" "$SAMPLE_KVB" "$KVB"; do
        [[ -x "$f" || -f "$f" ]] || gui_fail "missing build output: $f"
    done
    [[ -d "$SITE_DIR" ]] || gui_fail "missing sample site: $SITE_DIR"
}

gui_setup() {
    GUI_TMP=$(mktemp -d "${TMPDIR:-/tmp}/kiva-gui.XXXXXX")
    export HOME="$GUI_TMP/home"
    export XDG_CONFIG_HOME="$HOME/.config"
    export XDG_CACHE_HOME="$HOME/.cache"
    export XDG_DATA_HOME="$HOME/.local/share"
    export XDG_RUNTIME_DIR="$GUI_TMP/run"
    export TMPDIR="$GUI_TMP/tmp"
    mkdir -p "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$XDG_DATA_HOME" "$TMPDIR"
    mkdir -m 700 "$XDG_RUNTIME_DIR"
    export NO_AT_BRIDGE=1
    export WEBKIT_DISABLE_COMPOSITING_MODE=1
    export LIBGL_ALWAYS_SOFTWARE=1
    export GSETTINGS_BACKEND=memory
    # Each test owns its display and its session bus, which dbus-run-session started for it.
    [[ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ]] || gui_fail "no session bus of the test's own"
    if [[ -n "$ARTIFACTS" ]]; then
        mkdir -p "$ARTIFACTS"
        rm -f "$ARTIFACTS"/*.png
    fi
    GUI_ROOT=$(xdotool search --maxdepth 0 --name '' 2>/dev/null || true)
    trap gui_cleanup EXIT
    trap 'exit 143' TERM INT
}

gui_cleanup() {
    local status=$?
    local pid
    for pid in "${GUI_PIDS[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${GUI_PIDS[@]}"; do
        local i
        for i in 1 2 3 4 5 6 7 8 9 10; do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null || true
    done
    if [[ -n "${GUI_TMP:-}" && -z "${KIVA_GUI_KEEP:-}" ]]; then
        rm -rf "$GUI_TMP"
    fi
    exit "$status"
}

# Fails the test, leaving a screenshot of the whole display and the logs of every process.
gui_fail() {
    echo "FAIL: $*" >&2
    if [[ -n "${GUI_TMP:-}" ]]; then
        if [[ -n "${ARTIFACTS:-}" ]]; then
            import -window root "$ARTIFACTS/failure.png" 2>/dev/null || true
        fi
        echo "--- windows on the display:" >&2
        local w
        for w in $(xdotool search --onlyvisible --name '' 2>/dev/null); do
            [[ "$w" != "${GUI_ROOT:-}" ]] || continue
            echo "  $w: $(xdotool getwindowname "$w" 2>/dev/null)" >&2
        done
        local log
        for log in "$GUI_TMP"/*.log; do
            [[ -f "$log" ]] || continue
            echo "--- $(basename "$log") (last lines):" >&2
            tail -n 30 "$log" >&2
        done
    fi
    exit 1
}

# Starts a program in the background with its output in $GUI_TMP/NAME.log (NAME-2.log and so
# on when NAME was started before, so that gui_fail shows every run); sets GUI_PID.
gui_start() {
    local name=${1//\//_}
    shift
    local log="$GUI_TMP/$name.log" n=1
    while [[ -e "$log" ]]; do
        n=$((n + 1))
        log="$GUI_TMP/$name-$n.log"
    done
    "$@" >"$log" 2>&1 &
    GUI_PID=$!
    GUI_PIDS+=("$GUI_PID")
    gui_log "started $name (pid $GUI_PID): $*"
}

# Starts PROGRAM (the viewer or a self-contained book) with ARGS and waits for its window titled
# PATTERN: gui_start_viewer PROGRAM PATTERN [ARGS...]. Sets VIEWER_PID and WIN (and GUI_PID and
# GUI_WID).
gui_start_viewer() {
    local program=$1 pattern=$2
    shift 2
    gui_start "$(basename "$program")" "$program" "$@"
    VIEWER_PID=$GUI_PID
    gui_wait_window "$pattern" "$VIEWER_PID"
    WIN=$GUI_WID
}

# Drops a process that has been waited for, so that clean-up never signals a reused id.
gui_forget() {
    local -a keep=()
    local p
    for p in "${GUI_PIDS[@]}"; do
        [[ "$p" == "$1" ]] || keep+=("$p")
    done
    GUI_PIDS=("${keep[@]}")
}

gui_alive() { kill -0 "$1" 2>/dev/null; }

# First visible window whose title matches the pattern, or nothing. The root window, which
# xdotool counts as visible and whose empty name matches the empty pattern, never counts.
gui_find_window() {
    local w
    for w in $(xdotool search --onlyvisible --name "$1" 2>/dev/null || true); do
        if [[ "$w" != "$GUI_ROOT" ]]; then
            echo "$w"
            return 0
        fi
    done
}

# Waits until a visible window's title matches PATTERN and sets GUI_WID to its id. With PID
# given, fails at once when that process ends first. Results travel in globals rather than on
# standard output so that these helpers never run in a subshell, where gui_fail could not end
# the test and "wait" could not see the viewer.
gui_wait_window() {
    local pattern=$1 pid=${2:-} secs=${3:-$GUI_WAIT}
    local deadline=$((SECONDS + secs)) w
    while ((SECONDS < deadline)); do
        w=$(gui_find_window "$pattern")
        if [[ -n "$w" ]]; then
            GUI_WID=$w
            return 0
        fi
        if [[ -n "$pid" ]] && ! gui_alive "$pid"; then
            gui_fail "process $pid ended before a window titled /$pattern/ appeared"
        fi
        sleep 0.05
    done
    gui_fail "no window titled /$pattern/ within ${secs}s"
}

gui_title() { xdotool getwindowname "$1"; }

# True when window WID's title is TEXT now.
gui_has_title() { [[ "$(gui_title "$1" 2>/dev/null)" == "$2" ]]; }

# Waits until window WID's title is exactly TEXT.
gui_wait_title() {
    local wid=$1 text=$2 secs=${3:-$GUI_WAIT}
    local deadline=$((SECONDS + secs)) now=""
    while ((SECONDS < deadline)); do
        now=$(gui_title "$wid" 2>/dev/null || true)
        [[ "$now" == "$text" ]] && return 0
        sleep 0.05
    done
    gui_fail "title of window $wid is \"$now\", expected \"$text\""
}

# Waits for process PID to end and sets GUI_STATUS to its exit status (127 for a process that
# this script did not start, whose status it cannot know).
gui_wait_exit() {
    local pid=$1 secs=${2:-$GUI_WAIT}
    local deadline=$((SECONDS + secs))
    while gui_alive "$pid"; do
        ((SECONDS < deadline)) || gui_fail "process $pid still running after ${secs}s"
        sleep 0.05
    done
    GUI_STATUS=0
    wait "$pid" 2>/dev/null || GUI_STATUS=$?
    gui_forget "$pid"
}

# Watches process PID until it ends and fails if a visible window matching PATTERN shows
# meanwhile. Sets GUI_STATUS to its exit status.
gui_exit_without_window() {
    local pid=$1 pattern=$2 secs=${3:-$GUI_WAIT}
    local deadline=$((SECONDS + secs)) w
    while gui_alive "$pid"; do
        w=$(gui_find_window "$pattern")
        [[ -z "$w" ]] || gui_fail "window \"$(gui_title "$w")\" appeared; expected none"
        ((SECONDS < deadline)) || gui_fail "process $pid still running after ${secs}s"
        sleep 0.02
    done
    GUI_STATUS=0
    wait "$pid" || GUI_STATUS=$?
    gui_forget "$pid"
}

# Fails unless window WID's title is still TEXT after SECS (a command that must do nothing).
gui_title_stays() {
    local wid=$1 text=$2 secs=${3:-1.5} now
    sleep "$secs"
    now=$(gui_title "$wid")
    [[ "$now" == "$text" ]] || gui_fail "title changed to \"$now\", expected it to stay \"$text\""
}

# Clicks BUTTON at X,Y of the window WIN, up to three times, until COMMAND succeeds within SECS
# of a click: gui_click_until X Y BUTTON SECS COMMAND [ARGS...]. The first click may come before
# the page takes input. Status 1 when COMMAND never succeeded.
gui_click_until() {
    local x=$1 y=$2 button=$3 secs=$4 attempt deadline
    shift 4
    for attempt in 1 2 3; do
        xdotool mousemove --window "$WIN" "$x" "$y" click "$button" 2>/dev/null ||
            gui_log "click $attempt at $x,$y failed"
        deadline=$((SECONDS + secs))
        while :; do
            if "$@"; then
                return 0
            fi
            ((SECONDS < deadline)) || break
            sleep 0.1
        done
    done
    return 1
}

# Gives window WID the keyboard focus.
gui_focus() {
    timeout 5 xdotool windowfocus --sync "$1" || gui_fail "cannot focus window $1"
}

# Gives window WID the keyboard focus, types TEXT and presses Return.
gui_type_and_enter() {
    local wid=$1 text=$2
    gui_focus "$wid"
    if [[ -n "$text" ]]; then
        xdotool type --delay 15 --window "$wid" -- "$text"
    fi
    xdotool key --window "$wid" Return
}

# Presses keys in window WID after focusing it: gui_key WID KEY...
gui_key() {
    local wid=$1
    shift
    gui_focus "$wid"
    xdotool key --window "$wid" "$@"
}

# Focuses window WID and runs one xdotool command (key, type) that names no window, so that it
# goes to whatever has the focus, as a person's keys do: gui_focused WID key ctrl+a. Some
# windows (GTK's file chooser) take keys sent to them by name twice.
gui_focused() {
    gui_focus "$1"
    shift
    xdotool "$@"
}

# Screenshot of window WID (or "root") into FILE; copied to the artefacts folder when one is set.
gui_shot() {
    local wid=$1 file=$2
    import -window "$wid" "$file" || gui_fail "screenshot of window $wid failed"
    if [[ -n "${ARTIFACTS:-}" ]]; then
        cp "$file" "$ARTIFACTS/" 2>/dev/null || true
    fi
}

# Prints "R G B" (0 to 255) of the pixel at X,Y of an image.
gui_pixel() {
    local file=$1 x=$2 y=$3
    convert "$file" -format \
        "%[fx:int(255*p{$x,$y}.r+0.5)] %[fx:int(255*p{$x,$y}.g+0.5)] %[fx:int(255*p{$x,$y}.b+0.5)]" \
        info:
}

# True when two "R G B" colours differ by at most TOL in every channel.
gui_colour_near() {
    local -a a b
    read -r -a a <<<"$1"
    read -r -a b <<<"$2"
    local tol=${3:-8} i d
    for i in 0 1 2; do
        d=$((a[i] - b[i]))
        ((d < 0)) && d=$((-d))
        ((d <= tol)) || return 1
    done
    return 0
}

# Number of pixels of an image within about 3 % of colour #RRGGBB.
gui_count_colour() {
    local file=$1 hex=$2
    convert "$file" -alpha off -fuzz 3% -fill black +opaque "$hex" -fill white -opaque "$hex" \
        -format '%[fx:int(mean*w*h+0.5)]' info:
}

# Image size as "W H".
gui_size() { convert "$1" -format '%w %h' info:; }

# Packs DIR into OUT with the given options file (none when empty) using the kvb tool.
gui_pack() {
    local dir=$1 out=$2 ini=${3:-}
    local -a args=(pack "$dir" -o "$out")
    [[ -z "$ini" ]] || args+=(--options "$ini")
    "$KVB" "${args[@]}" >"$GUI_TMP/kvb.log" 2>&1 || {
        cat "$GUI_TMP/kvb.log" >&2
        gui_fail "kvb ${args[*]} failed"
    }
}

# Packs the site in DIR into OUT as a book whose start page is index.html in an 800 by 600
# window, with the sample's other options changed as given: gui_pack_book DIR OUT KEY=VALUE...
gui_pack_book() {
    local dir=$1 out=$2
    shift 2
    gui_ini "$GUI_TMP/options.ini" "StartPage=index.html" "WindowWidth=800" \
        "WindowHeight=600" "$@"
    gui_pack "$dir" "$out" "$GUI_TMP/options.ini"
}

# Copies the sample's options file into OUT, replacing the given keys: gui_ini OUT KEY=VALUE...
gui_ini() {
    local out=$1
    shift
    local kv pattern=""
    for kv in "$@"; do
        pattern+="${pattern:+|}${kv%%=*}"
    done
    grep -Eiv "^[[:space:]]*(${pattern:-^$})[[:space:]]*=" "$SAMPLE_INI" >"$out" || true
    for kv in "$@"; do
        echo "$kv" >>"$out"
    done
}

# Starts the accessibility bus on the test's own session bus, so that a viewer started after it
# can be read through AT-SPI; the test skips (77) when the tools are missing.
gui_accessibility() {
    [[ -x /usr/libexec/at-spi-bus-launcher ]] || {
        echo "SKIP: at-spi-bus-launcher is not installed (apt-get install at-spi2-core)"
        exit 77
    }
    /usr/bin/python3 -c 'import pyatspi' 2>/dev/null || {
        echo "SKIP: pyatspi is not installed (apt-get install python3-pyatspi)"
        exit 77
    }
    gui_start atspi-bus /usr/libexec/at-spi-bus-launcher --launch-immediately
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

# Serves the files of DIR over HTTP on a free port of the loopback interface, for this test
# only (it ends with it, and after two minutes at the latest), and sets GUI_PORT. The server
# sends no cross-origin permission of its own: gui_web_server DIR.
gui_web_server() {
    local dir=$1 portfile
    portfile=$(mktemp "$GUI_TMP/port.XXXXXX")
    gui_start web /usr/bin/python3 -c '
import functools, http.server, sys, time
handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=sys.argv[1])
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
open(sys.argv[2], "w").write(str(server.server_address[1]))
server.timeout = 1
deadline = time.time() + 120
while time.time() < deadline:
    server.handle_request()
' "$dir" "$portfile"
    local _
    for _ in $(seq 1 50); do
        [[ -s "$portfile" ]] && break
        sleep 0.1
    done
    GUI_PORT=$(cat "$portfile" 2>/dev/null)
    [[ -n "$GUI_PORT" ]] || gui_fail "the web server for $dir did not start"
}
