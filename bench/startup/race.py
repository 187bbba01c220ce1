#!/usr/bin/env python3
"""The viewer against WebKitGTK's MiniBrowser on the same pages, in one run.

    race.py startup [--pairs N]      time from process start to the first page's title,
                                     with the timeline of both
    race.py turns [--pairs N]        50 clicks on "next" links, each to the next page's title
    race.py media [--pairs N]        time to a video's metadata and of five seeks (seeks.js);
                                     the video (about 160 MB) is made in the run's folder and
                                     removed with it
    race.py million [--count N]      open time and memory of a 1,000,000-page book against a
                                     1,000-page one, in the viewer (KIVA_MILLION_DIR keeps the
                                     generated books between runs)

The viewer shows a book packed with `kvb pack --viewer` from the Python documentation
(python3-doc); MiniBrowser opens the same files over file://. Runs alternate, each pair starting
with the other program, and every figure is the median of the pairs. A preloaded library
(kiva_timeline_shim) marks the steps of each start inside the processes, so both programs are
timed the same way. Prints figures only: nothing here passes or fails.

KIVA_BUILD names the build folder (default: build beside this checkout), MINIBROWSER the
MiniBrowser program, KIVA_DOCS the documentation's folder, KIVA_VIEWER_ENV settings
(NAME=VALUE ...) given to the viewer's starts alone. It runs on an Xvfb display and a
D-Bus session of its own, with a private home shared by both programs.
"""

import argparse
import html
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
BUILD = os.environ.get("KIVA_BUILD", os.path.join(ROOT, "build"))
MINIBROWSER = os.environ.get("MINIBROWSER",
                             "/usr/lib/x86_64-linux-gnu/webkit2gtk-4.1/MiniBrowser")
DOCS = os.environ.get("KIVA_DOCS", "/usr/share/doc/python3/html")
SHIM = os.path.join(BUILD, "bench", "startup", "libkiva_timeline_shim.so")
KVB = os.path.join(BUILD, "tools", "kvb")
VIEWER = os.environ.get("KIVA_VIEWER", os.path.join(BUILD, "viewer", "kivabook-viewer"))

# The steps of a start in the order they are printed; a program shows those it has.
STEPS = [
    ("process-start", "preloaded library initialised"),
    ("libraries-loaded", "libraries loaded and initialised"),
    ("display-open", "display open"),
    ("gtk-ready", "GTK ready"),
    ("archive-open", "archive opened"),
    ("archive-directory-read", "archive directory read"),
    ("options-read", "options read"),
    ("data-manager", "website data manager made"),
    ("web-context", "web context made"),
    ("spawn:WebKitNetworkProcess", "network process launched"),
    ("spawn:WebKitWebProcess", "web process launched"),
    ("child:WebKitNetworkProcess", "network process running"),
    ("child:WebKitWebProcess", "web process running"),
    ("start-page-requested", "start page requested"),
    ("request", "first request reached the program"),
    ("first-bytes", "first bytes served"),
    ("title", "first page's title"),
    ("load-finished", "first page loaded"),
    ("cpu-at-title", "main process CPU ms at the title"),
]


def now_us():
    return time.monotonic_ns() // 1000


class Run:
    """One program from its start until a condition on its timeline holds."""

    def __init__(self, work, name, argv, env_extra):
        self.name = name
        self.log = os.path.join(work, "timeline-%s-%d.log" % (name, now_us()))
        env = dict(os.environ)
        env.update(env_extra)
        env["LD_PRELOAD"] = SHIM
        env["KIVA_TIMELINE_FILE"] = self.log
        self.out = open(os.path.join(work, name + ".out"), "ab")
        self.start = now_us()
        self.proc = subprocess.Popen(argv, env=env, stdout=self.out, stderr=subprocess.STDOUT,
                                     start_new_session=True)
        self._read = 0
        self.lines = []

    def poll_lines(self):
        try:
            with open(self.log, "r", errors="replace") as f:
                f.seek(self._read)
                text = f.read()
        except FileNotFoundError:
            return self.lines
        complete = text[:text.rfind("\n") + 1]
        self._read += len(complete.encode("utf-8", errors="replace"))
        for line in complete.splitlines():
            parts = line.split(" ", 4)
            if len(parts) < 4:
                continue
            stamp, pid, program, event = parts[:4]
            detail = parts[4] if len(parts) > 4 else ""
            self.lines.append(((int(stamp) - self.start) / 1000.0, int(pid), program, event,
                               detail))
        return self.lines

    def wait_for(self, done, limit):
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            lines = self.poll_lines()
            if done(lines):
                return True
            if self.proc.poll() is not None:
                self.poll_lines()
                return done(self.lines)
            time.sleep(0.005)
        return False

    def stop(self):
        """Ends the program and the helpers it started (its own session), then waits for them."""
        pgid = self.proc.pid
        for sig, grace in ((signal.SIGTERM, 3.0), (signal.SIGKILL, 3.0)):
            try:
                os.killpg(pgid, sig)
            except ProcessLookupError:
                break
            deadline = time.monotonic() + grace
            while time.monotonic() < deadline:
                self.proc.poll()
                try:
                    os.killpg(pgid, 0)
                except ProcessLookupError:
                    break
                time.sleep(0.02)
            else:
                continue
            break
        self.proc.wait()
        self.out.close()

    def first(self, event, detail=None):
        for t, _, _, e, d in self.lines:
            if e == event and (detail is None or d == detail):
                return t
        return None


def timeline(run, title):
    """The step name -> milliseconds after the program was started."""
    main_pid = run.proc.pid
    steps = {}
    titled = False
    for t, pid, program, event, detail in run.lines:
        key = None
        if event == "cpu-ms":
            # The processor time of the program at its first page's title, not a moment.
            if titled and pid == main_pid and "cpu-at-title" not in steps:
                steps["cpu-at-title"] = float(detail)
            continue
        if event == "process-start":
            key = "process-start" if pid == main_pid else "child:" + program
        elif event == "spawn":
            key = "spawn:" + detail
        elif event == "libraries-loaded" and pid != main_pid:
            continue
        elif event == "title":
            if detail != title:
                continue
            titled = True
            key = "title"
        elif event == "load-finished" and pid == main_pid:
            key = "load-finished"
        else:
            key = event
        steps.setdefault(key, t)
    return steps


def has_title(title):
    return lambda lines: any(e == "title" and d == title for _, _, _, e, d in lines)


# ---- the books


def prepare(work):
    """Packs the documentation onto the viewer once per run; returns (book, page folder)."""
    for path in (KVB, VIEWER, SHIM, MINIBROWSER):
        if not os.path.exists(path):
            sys.exit("missing: %s (build kvb, kivabook-viewer and kiva_timeline_shim)" % path)
    if not os.path.isfile(os.path.join(DOCS, "index.html")):
        sys.exit("no documentation in %s (apt-get install python3-doc)" % DOCS)
    book = os.path.join(work, "python-docs")
    subprocess.run([KVB, "pack", DOCS, "-o", book, "--viewer", VIEWER, "-q"], check=True)
    # MiniBrowser reads exactly the bytes the book holds.
    pages = os.path.join(work, "site")
    subprocess.run([KVB, "extract", book, "-C", pages], check=True, stdout=subprocess.DEVNULL)
    return book, pages


def page_title(pages, page):
    with open(os.path.join(pages, page), encoding="utf-8", errors="replace") as f:
        text = f.read()
    start = text.find("<title>") + len("<title>")
    return html.unescape(text[start:text.find("</title>", start)].strip())


def page_of(url, pages):
    """The page below the site's folder that a viewer's or MiniBrowser's address names."""
    url = url.split("#")[0].split("?")[0]
    for prefix in ("kiva://bundle/", "file://" + os.path.realpath(pages) + "/",
                   "file://" + pages + "/"):
        if url.startswith(prefix):
            return urllib.parse.unquote(url[len(prefix):])
    return url


def viewer_argv(book):
    return [book]


def mini_argv(pages, page):
    return [MINIBROWSER, "file://" + os.path.join(pages, page)]


def index_once(work, book, title):
    """Opens the book once and lets its search index finish, so that later starts find it."""
    run = Run(work, "index", viewer_argv(book), {})

    def done(lines):
        seen = False
        for _, _, _, e, d in lines:
            if e == "status" and d.startswith("Indexing"):
                seen = True
            elif e == "status" and d == "" and seen:
                return True
        return False

    ok = run.wait_for(done, 180)
    run.stop()
    print("search index built once beforehand: %s" % ("yes" if ok else "not within 180 s"))


def pairs(count, first, second):
    """Alternating runs: yields the pair's number and the results of both, in fixed order."""
    for i in range(count):
        if i % 2 == 0:
            a = first()
            b = second()
        else:
            b = second()
            a = first()
        yield i + 1, a, b


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def fmt(v):
    return "%8.0f" % v if v is not None else "       -"


def load_text():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


# ---- start-up


def cmd_startup(args, work):
    book, pages = prepare(work)
    title = page_title(pages, "index.html")
    index_once(work, book, title)
    page = os.path.realpath(os.path.join(pages, "index.html"))
    env_viewer = {"KIVA_TIMELINE_ARCHIVE": os.path.realpath(book)}
    # Settings tried on the viewer alone, as NAME=VALUE separated by blanks.
    env_viewer.update(v.split("=", 1) for v in os.environ.get("KIVA_VIEWER_ENV", "").split())
    env_mini = {"KIVA_TIMELINE_PAGE": page}

    def one(name, argv, env):
        run = Run(work, name, argv, env)
        ok = run.wait_for(has_title(title), 60)
        # The page's load finishing is part of the timeline, not of the time to title.
        run.wait_for(lambda lines: any(e == "load-finished" for _, _, _, e, _ in lines), 5)
        run.stop()
        time.sleep(0.5)
        if not ok:
            print("%s: no title %r within 60 s" % (name, title))
            return None
        return timeline(run, title)

    viewer = lambda: one("viewer", viewer_argv(book), env_viewer)
    mini = lambda: one("minibrowser", mini_argv(pages, "index.html"), env_mini)
    print("warming up (untimed)")
    viewer()
    mini()
    print("load before: %s" % load_text())
    print("%-5s %10s %14s %7s" % ("pair", "viewer ms", "MiniBrowser ms", "ratio"))
    vt, mt = [], []
    for i, v, m in pairs(args.pairs, viewer, mini):
        if not v or not m:
            continue
        vt.append(v)
        mt.append(m)
        print("%-5d %10.0f %14.0f %7.3f" % (i, v["title"], m["title"], v["title"] / m["title"]))
        if args.verbose:
            for name, t in (("viewer", v), ("MiniBrowser", m)):
                print("      %-12s %s" % (name, " ".join(
                    "%s=%.0f" % (k.split(":")[-1], t[k]) for k, _ in STEPS if k in t)))
    print("load after: %s" % load_text())
    if not vt:
        return
    ratios = [v["title"] / m["title"] for v, m in zip(vt, mt)]
    print()
    print("median time to title: viewer %.0f ms, MiniBrowser %.0f ms; median ratio %.3f "
          "(target <= 0.9)" % (median([v["title"] for v in vt]), median([m["title"] for m in mt]),
                               median(ratios)))
    print()
    print("timeline, median ms after the process was started (- : not seen from outside)")
    print("%-34s %8s %12s" % ("step", "viewer", "MiniBrowser"))
    for key, label in STEPS:
        v = median([t.get(key) for t in vt])
        m = median([t.get(key) for t in mt])
        if v is None and m is None:
            continue
        print("%-34s %8s %12s" % (label, fmt(v).strip(), fmt(m).strip()))


# ---- page turns


def cmd_turns(args, work):
    book, pages = prepare(work)
    title = page_title(pages, "index.html")
    index_once(work, book, title)
    walk = {"KIVA_TIMELINE_WALK": str(args.turns)}

    def one(name, argv):
        run = Run(work, name, argv, walk)
        ok = run.wait_for(lambda lines: any(e in ("walk-done",) for _, _, _, e, _ in lines)
                          or any(e == "title" and d.startswith("walk:") for _, _, _, e, d in lines),
                          30 + args.turns * 5)
        run.stop()
        time.sleep(0.5)
        if not ok:
            print("%s: the walk did not end" % name)
            return None
        # Each turn: from the click to the title of the page that the click loads. The viewer
        # shows an address as the title while a page has none yet, so only the page's own
        # title ends the turn.
        lines = [l for l in run.lines if l[1] == run.proc.pid]
        for _, _, _, e, d in lines:
            if e == "title" and d.startswith("walk:"):
                print("%s: %s" % (name, d))
                return None
        turns = []
        for k, (t, _, _, e, _) in enumerate(lines):
            if e != "click":
                continue
            loaded = next((d for _, _, _, e2, d in lines[k + 1:] if e2 == "load-finished"), None)
            if not loaded:
                break
            want = page_title(pages, page_of(loaded, pages))
            end = next((t2 for t2, _, _, e2, d in lines[k + 1:] if e2 == "title" and d == want),
                       None)
            if end is None:
                # The last page may lose its title to the program's end.
                if not any(e2 == "click" for _, _, _, e2, _ in lines[k + 1:]):
                    break
                print("%s: no title %r after a click" % (name, want))
                return None
            turns.append(end - t)
        return turns

    viewer = lambda: one("viewer", viewer_argv(book))
    mini = lambda: one("minibrowser", mini_argv(pages, "index.html"))
    print("load before: %s" % load_text())
    print("%-5s %12s %16s %7s   (sum of %d turns, click to title)"
          % ("pair", "viewer ms", "MiniBrowser ms", "ratio", args.turns))
    vs, ms, rs, vmed, mmed = [], [], [], [], []
    for i, v, m in pairs(args.pairs, viewer, mini):
        if not v or not m:
            continue
        sv, sm = sum(v), sum(m)
        vs.append(sv)
        ms.append(sm)
        rs.append(sv / sm)
        vmed.append(statistics.median(v))
        mmed.append(statistics.median(m))
        print("%-5d %12.0f %16.0f %7.3f   (%d and %d turns; median turn %.1f and %.1f ms)"
              % (i, sv, sm, sv / sm, len(v), len(m), vmed[-1], mmed[-1]))
    print("load after: %s" % load_text())
    if vs:
        print()
        print("median walk: viewer %.0f ms, MiniBrowser %.0f ms; median ratio %.3f "
              "(target <= 1.0); median turn %.1f and %.1f ms"
              % (median(vs), median(ms), median(rs), median(vmed), median(mmed)))


# ---- media


def make_clip(path, seconds):
    """A WebM video of noise, which no encoder can shrink: about 0.65 MB a second."""
    subprocess.run(["nice", "gst-launch-1.0", "-q", "videotestsrc", "pattern=snow",
                    "num-buffers=%d" % (seconds * 15), "!",
                    "video/x-raw,width=640,height=360,framerate=15/1", "!", "vp8enc",
                    "target-bitrate=10000000", "deadline=1", "cpu-used=16",
                    "keyframe-max-dist=60", "!", "webmmux", "!", "filesink",
                    "location=" + path], check=True)


def cmd_media(args, work):
    for path in (KVB, VIEWER, SHIM, MINIBROWSER):
        if not os.path.exists(path):
            sys.exit("missing: %s" % path)
    site = os.path.join(work, "media-site")
    os.makedirs(site)
    clip = os.path.join(site, "clip.webm")
    started = time.monotonic()
    make_clip(clip, args.seconds)
    print("made a %.0f MB WebM in %.0f s" % (os.path.getsize(clip) / 1e6,
                                            time.monotonic() - started))
    with open(os.path.join(site, "media.html"), "w") as f:
        f.write("<!DOCTYPE html><html><head><title>Media</title></head><body>"
                "<video id=\"v\" controls></video></body></html>\n")
    book = os.path.join(work, "media-book")
    subprocess.run([KVB, "pack", site, "-o", book, "--viewer", VIEWER, "-q", "--set",
                    "StartPage=media.html"], check=True)
    # The book holds the video; MiniBrowser reads the file itself.
    script = os.path.join(HERE, "seeks.js")

    def one(name, argv):
        run = Run(work, name, argv, {"KIVA_TIMELINE_MEDIA": script})
        ok = run.wait_for(lambda lines: any(e == "title" and d.startswith("media:")
                                            for _, _, _, e, d in lines), 120)
        run.stop()
        time.sleep(0.5)
        result = next((d for _, _, _, e, d in run.lines if e == "title" and
                       d.startswith("media:")), None)
        if not ok or not result or "error" in result:
            print("%s: %s" % (name, result or "no result within 120 s"))
            return None
        values = [float(v) for v in result.split()[1:]]
        return values[0], values[1:]

    print("load before: %s" % load_text())
    print("%-5s %22s %22s" % ("pair", "viewer meta / seek ms", "MiniBrowser meta / seek"))
    vm, vs, mm, ms = [], [], [], []
    for i, v, m in pairs(args.pairs, lambda: one("viewer", viewer_argv(book)),
                         lambda: one("minibrowser", mini_argv(site, "media.html"))):
        if not v or not m:
            continue
        vm.append(v[0])
        mm.append(m[0])
        vs.append(statistics.median(v[1]))
        ms.append(statistics.median(m[1]))
        print("%-5d %10.0f / %9.0f %10.0f / %9.0f   (seeks %s and %s)"
              % (i, v[0], vs[-1], m[0], ms[-1], " ".join("%.0f" % x for x in v[1]),
                 " ".join("%.0f" % x for x in m[1])))
    print("load after: %s" % load_text())
    if vm:
        print()
        print("median metadata: viewer %.0f ms, MiniBrowser over file:// %.0f ms, ratio %.2f "
              "(target <= 1.5)" % (median(vm), median(mm), median(vm) / median(mm)))
        print("median seek: viewer %.0f ms, MiniBrowser over file:// %.0f ms, ratio %.2f "
              "(target <= 2)" % (median(vs), median(ms), median(vs) / median(ms)))


# ---- a book of a million pages


def make_site(folder, count):
    """Writes COUNT small pages in folders of 250, and an index page that links to the first."""
    per_folder = 250
    for i in range(count):
        sub = os.path.join(folder, "static", "sec%04d" % (i // per_folder))
        if i % per_folder == 0:
            os.makedirs(sub, exist_ok=True)
        with open(os.path.join(sub, "page%07d.html" % i), "w") as f:
            f.write("<html><head><title>Page %d</title></head><body><p>Page %d of the book.</p>"
                    "<a href=\"page%07d.html\">next</a></body></html>\n" % (i, i, i + 1))
    with open(os.path.join(folder, "index.html"), "w") as f:
        f.write("<html><head><title>A book of %d pages</title></head><body>"
                "<a href=\"static/sec0000/page0000000.html\">first</a></body></html>\n" % count)


def generated_book(store, count):
    """A book of COUNT generated pages in STORE, made once and kept there for later runs."""
    book = os.path.join(store, "pages-%d.kvb" % count)
    if os.path.exists(book):
        return book
    site = os.path.join(store, "site-%d" % count)
    shutil.rmtree(site, ignore_errors=True)
    started = time.monotonic()
    make_site(site, count)
    print("generated %d pages in %.0f s" % (count, time.monotonic() - started))
    started = time.monotonic()
    subprocess.run([KVB, "pack", site, "-o", book, "-q"], check=True)
    print("packed %d pages in %.0f s" % (count, time.monotonic() - started))
    shutil.rmtree(site, ignore_errors=True)
    return book


def memory_kib(pid):
    """Resident and proportional set size of one process, in KiB."""
    rss = pss = None
    try:
        with open("/proc/%d/smaps_rollup" % pid) as f:
            for line in f:
                if line.startswith("Rss:"):
                    rss = int(line.split()[1])
                elif line.startswith("Pss:"):
                    pss = int(line.split()[1])
    except OSError:
        pass
    return rss, pss


def cmd_million(args, work):
    for path in (KVB, VIEWER, SHIM):
        if not os.path.exists(path):
            sys.exit("missing: %s" % path)
    store = os.environ.get("KIVA_MILLION_DIR") or work
    os.makedirs(store, exist_ok=True)
    small = generated_book(store, 1000)
    large = generated_book(store, args.count)

    def one(book, count):
        title = "A book of %d pages" % count
        run = Run(work, "viewer-%d" % count, [VIEWER, book],
                  {"KIVA_TIMELINE_ARCHIVE": os.path.realpath(book)})
        ok = run.wait_for(has_title(title), 120)
        at_title = memory_kib(run.proc.pid)
        # The search index starts at the title; what it holds a little later counts as well.
        time.sleep(args.settle)
        later = memory_kib(run.proc.pid)
        run.stop()
        time.sleep(0.5)
        if not ok:
            print("no title %r within 120 s" % title)
            return None
        steps = timeline(run, title)
        return steps, at_title, later

    print("load before: %s" % load_text())
    rows = {1000: [], args.count: []}
    for i in range(args.runs):
        order = [(small, 1000), (large, args.count)]
        if i % 2:
            order.reverse()
        for book, count in order:
            result = one(book, count)
            if result:
                rows[count].append(result)
                steps, (rss, pss), (rss2, pss2) = result
                print("run %d, %7d pages: title %6.0f ms (directory read %5.0f ms); main "
                      "process RSS %4.0f MiB, PSS %4.0f MiB at the title, RSS %4.0f MiB %.0f s "
                      "later" % (i + 1, count, steps["title"],
                                 steps.get("archive-directory-read", 0), rss / 1024, pss / 1024,
                                 rss2 / 1024, args.settle))
    print("load after: %s" % load_text())
    if not rows[1000] or not rows[args.count]:
        return
    med = {}
    for count, results in rows.items():
        med[count] = (median([r[0]["title"] for r in results]),
                      median([r[1][0] for r in results]) / 1024,
                      median([r[2][0] for r in results]) / 1024)
    print()
    print("median time to title: %d pages %.0f ms, 1000 pages %.0f ms; difference %.0f ms "
          "(target <= 1500)" % (args.count, med[args.count][0], med[1000][0],
                                med[args.count][0] - med[1000][0]))
    print("median RSS at the title: %.0f MiB against %.0f MiB, +%.0f MiB; %.0f s later +%.0f MiB "
          "(target <= 100 MB)" % (med[args.count][1], med[1000][1],
                                  med[args.count][1] - med[1000][1], args.settle,
                                  med[args.count][2] - med[1000][2]))
    print()
    print("timeline, median ms after the process was started")
    print("%-34s %10s %10s" % ("step", "1000", str(args.count)))
    for key, label in STEPS:
        a = median([r[0].get(key) for r in rows[1000]])
        b = median([r[0].get(key) for r in rows[args.count]])
        if a is None and b is None:
            continue
        print("%-34s %10s %10s" % (label, fmt(a).strip(), fmt(b).strip()))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("startup")
    p.add_argument("--pairs", type=int, default=7)
    p.add_argument("--verbose", action="store_true", help="print each run's timeline")
    p = sub.add_parser("turns")
    p.add_argument("--pairs", type=int, default=5)
    p.add_argument("--turns", type=int, default=50)
    p = sub.add_parser("media")
    p.add_argument("--pairs", type=int, default=5)
    p.add_argument("--seconds", type=int, default=240, help="length of the generated video")
    p = sub.add_parser("million")
    p.add_argument("--count", type=int, default=1000000)
    p.add_argument("--runs", type=int, default=3)
    p.add_argument("--settle", type=float, default=5.0,
                   help="seconds after the title at which memory is read again")
    args = parser.parse_args()

    if not os.environ.get("KIVA_RACE_INNER"):
        os.environ["KIVA_RACE_INNER"] = "1"
        os.execvp("dbus-run-session", ["dbus-run-session", "--", "xvfb-run", "-a", "-s",
                                       "-screen 0 1280x800x24", sys.executable] + sys.argv)

    work = tempfile.mkdtemp(prefix="kiva-race.", dir=os.environ.get("TMPDIR"))
    try:
        home = os.path.join(work, "home")
        os.environ.update({
            "HOME": home,
            "XDG_CONFIG_HOME": os.path.join(home, ".config"),
            "XDG_CACHE_HOME": os.path.join(home, ".cache"),
            "XDG_DATA_HOME": os.path.join(home, ".local", "share"),
            "NO_AT_BRIDGE": "1",
            "GSETTINGS_BACKEND": "memory",
        })
        for d in ("XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME"):
            os.makedirs(os.environ[d], exist_ok=True)
        {"startup": cmd_startup, "turns": cmd_turns, "media": cmd_media,
         "million": cmd_million}[args.command](args, work)
    finally:
        if not os.environ.get("KIVA_RACE_KEEP"):
            shutil.rmtree(work, ignore_errors=True)
        else:
            print("kept: " + work)


if __name__ == "__main__":
    main()
