#!/usr/bin/env bash
# "about:close" in any letter case closes the viewer through its normal close, with exit
# status 0: from a link the reader clicks, and from a frame that navigates to it.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
gui_main "$@"

site="$GUI_TMP/site"
mkdir -p "$site"
cat >"$site/index.html" <<'HTML'
<!DOCTYPE html><html><head><title>closing link</title><style>
body { margin: 0 } a { position: fixed; inset: 0; display: block; }
</style></head><body><a href="about:close">close</a></body></html>
HTML
cat >"$site/framed.html" <<'HTML'
<!DOCTYPE html><html><head><title>closing frame</title></head>
<body><iframe src="closer.html"></iframe></body></html>
HTML
cat >"$site/closer.html" <<'HTML'
<!DOCTYPE html><html><body><script>
setTimeout(function () { location.href = "ABOUT:CLOSE"; }, 500);
</script></body></html>
HTML

gui_ini "$GUI_TMP/link.ini" StartPage=index.html ShowToolBar=0
gui_pack "$site" "$GUI_TMP/link.kvb" "$GUI_TMP/link.ini"
gui_start_viewer "$VIEWER" '^closing link$' "$GUI_TMP/link.kvb"
viewer_ended() { ! gui_alive "$VIEWER_PID"; }
# Clicks until the viewer goes; whether it ends, and how, is checked after.
gui_click_until 300 200 1 2 viewer_ended || true
gui_wait_exit "$VIEWER_PID" 20
[[ "$GUI_STATUS" == 0 ]] || gui_fail "viewer exited with status $GUI_STATUS after about:close"
gui_log "a link to about:close ended the viewer with status 0"

gui_ini "$GUI_TMP/frame.ini" StartPage=framed.html
gui_pack "$site" "$GUI_TMP/frame.kvb" "$GUI_TMP/frame.ini"
gui_start_viewer "$VIEWER" '^closing frame$' "$GUI_TMP/frame.kvb"
gui_wait_exit "$VIEWER_PID" 20
[[ "$GUI_STATUS" == 0 ]] || gui_fail "viewer exited with status $GUI_STATUS after a frame's about:close"
gui_log "a frame navigating to ABOUT:CLOSE ended the viewer with status 0"
