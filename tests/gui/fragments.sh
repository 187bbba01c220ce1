#!/usr/bin/env bash
# Addresses with a fragment reach their page: the start page itself has one, an iframe and a
# fetch use one, and a link to another page with a fragment opens that page at its anchor.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
gui_main "$@"

site="$GUI_TMP/site"
mkdir -p "$site/docs"
cat >"$site/index.html" <<'HTML'
<!DOCTYPE html><html><head><title>waiting</title></head><body>
<iframe id="f" src="docs/part.html#second"></iframe>
<a id="l" href="docs/target.html#anchor">next</a>
<script>
var results = {};
function maybeGo() {
  if (!results.frame || !results.fetch) return;
  var l = document.getElementById("l");
  l.href = "docs/target.html?" + [location.hash.slice(1), results.frame, results.fetch].join(",") +
      "#anchor";
  l.click();
}
document.getElementById("f").addEventListener("load", function () {
  results.frame = this.contentDocument.title; maybeGo();
});
fetch("docs/part.html#first").then(function (r) { return r.text(); }).then(function (t) {
  results.fetch = t.indexOf("part page") >= 0 ? "fetched" : "wrong"; maybeGo();
}).catch(function () { results.fetch = "failed"; maybeGo(); });
</script></body></html>
HTML
cat >"$site/docs/part.html" <<'HTML'
<!DOCTYPE html><html><head><title>framed</title></head><body>part page</body></html>
HTML
cat >"$site/docs/target.html" <<'HTML'
<!DOCTYPE html><html><head><title>target</title></head><body>
<p style="height:3000px">top</p><p id="anchor">anchor</p>
<script>
addEventListener("load", function () {
  document.title = "target " + location.search.slice(1) + " " + location.hash +
      (window.scrollY > 1000 ? " scrolled" : " not scrolled");
});
</script></body></html>
HTML
gui_ini "$GUI_TMP/frag.ini" "StartPage=index.html#start"
gui_pack "$site" "$GUI_TMP/frag.kvb" "$GUI_TMP/frag.ini"

gui_start_viewer "$VIEWER" '^(waiting|target|The requested)' "$GUI_TMP/frag.kvb"
gui_wait_title "$WIN" "target start,framed,fetched #anchor scrolled"
gui_log "start page, iframe, fetch and link with fragments all reached their pages"
