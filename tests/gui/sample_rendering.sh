#!/usr/bin/env bash
# The sample's home page is drawn with everything it pulls from the archive: the style sheet's
# background, both pictures (PNG and GIF) and the colour the script gives the greeting line.
# Each is told apart by a colour that nothing else on the page uses.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
gui_main "$@"

gui_start_viewer "$SAMPLE_EXE" '^Kivabook Sample$'
shot="$GUI_TMP/sample.png"

# The title arrives before the pictures are decoded and painted: take screenshots until every
# mark is there or the time is up.
declare -A need=(
    [background]="#2a7ab0 20000"
    [png]="#e0218a 1500"
    [gif_green]="#2eb84c 150"
    [gif_yellow]="#f5d02c 150"
    [script_text]="#b8f2a0 15"
)
deadline=$((SECONDS + 15))
while :; do
    gui_shot "$WIN" "$shot"
    missing=()
    for mark in "${!need[@]}"; do
        read -r hex least <<<"${need[$mark]}"
        count=$(gui_count_colour "$shot" "$hex")
        ((count >= least)) || missing+=("$mark ($hex: $count of at least $least pixels)")
    done
    ((${#missing[@]} == 0)) && break
    ((SECONDS < deadline)) || gui_fail "not drawn: ${missing[*]}"
    sleep 0.3
done

# The page fills the window between the bars: a point at the left margin, halfway down, shows
# the style sheet's background, while the top rows (tool bar) and the bottom rows (status bar)
# do not.
read -r width height <<<"$(gui_size "$shot")"
mid=$(gui_pixel "$shot" 8 $((height / 2)))
gui_colour_near "$mid" "42 122 176" 6 || gui_fail "page pixel is $mid, expected 42 122 176"
top=$(gui_pixel "$shot" $((width / 2)) 4)
! gui_colour_near "$top" "42 122 176" 6 || gui_fail "no tool bar above the page (pixel $top)"
bottom=$(gui_pixel "$shot" $((width / 2)) $((height - 4)))
! gui_colour_near "$bottom" "42 122 176" 6 || gui_fail "no status bar below the page ($bottom)"
gui_log "style sheet, pictures and script all took effect (${width}x${height} window)"
