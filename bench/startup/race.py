#!/usr/bin/env python3
"""The viewer against WebKitGTK's MiniBrowser on the same pages, in one run.

    race.py startup [--pairs N]      time from process start to the first page's title,
                                     with the timeline of both
    race.py turns [--pairs N]        50 clicks on "next" links, each to the next page's title
    race.py media [--pairs N]        metadata and five seeks of a video (see README.md)
    race.py million                  open time and memory of a 1,000,000-page book against a
                                     1,000-page one, in the viewer

The viewer shows a book packed with `kvb pack --viewer` from the Python documentation
(python3-doc); MiniBrowser opens the same files over file://. Runs alternate, each pair starting
with the other program, and every figure is the median of the pairs. A preloaded library
(kiva_timeline_shim) marks the steps of each start inside the processes, so both programs are
timed the same way. Prints figures only: nothing here passes or fails.

KIVA_BUILD names the build folder (default: build beside this checkout), MINIBROWSER the
MiniBrowser program, KIVA_DOCS the documentation's folder. It runs on an Xvfb display and a
D-Bus session of its own, with a private home shared by both programs.
"""

import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

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
    ("first-bytes", "first bytes served"),
    ("title", "first page's title"),
    ("load-finished", "first page loaded"),
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
    for t, pid, program, event, detail in run.lines:
        key = None
        if event == "process-start":
            key = "process-start" if pid == main_pid else "child:" + program
        elif event == "spawn":
            key = "spawn:" + detail
        elif event == "libraries-loaded" and pid != main_pid:
            continue
        elif event == "title":
            if detail != title:
                continue
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
    return text[start:text.find("</title>", start)].strip().replace("&#8212;", "\u2014")


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
        # Each turn: from the click to the next title that differs from the page clicked on.
        turns = []
        shown = None
        clicked = None
        for t, pid, _, e, d in run.lines:
            if pid != run.proc.pid:
                continue
            if e == "title" and d.startswith("walk:"):
                print("%s: %s" % (name, d))
                return None
            if e == "click":
                clicked = t
                continue
            if e == "title" and d and d != shown:
                if clicked is not None:
                    turns.append(t - clicked)
                    clicked = None
                shown = d
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("startup")
    p.add_argument("--pairs", type=int, default=7)
    p.add_argument("--verbose", action="store_true", help="print each run's timeline")
    p = sub.add_parser("turns")
    p.add_argument("--pairs", type=int, default=5)
    p.add_argument("--turns", type=int, default=50)
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
        {"startup": cmd_startup, "turns": cmd_turns}[args.command](args, work)
    finally:
        if not os.environ.get("KIVA_RACE_KEEP"):
            shutil.rmtree(work, ignore_errors=True)
        else:
            print("kept: " + work)


if __name__ == "__main__":
    main()
