#!/usr/bin/python3
"""Reads the viewer's widgets through the accessibility bus for the GUI tests of its commands.

    atspi8.py PID states ROLE NAME            states of the first match, e.g. "sensitive showing"
    atspi8.py PID wait ROLE NAME STATE [SECS] waits until it has STATE ("!STATE": lacks it, or
                                              "absent": no such object is showing)
    atspi8.py PID center ROLE NAME [SECS]     screen position of its middle, "X Y", once showing
    atspi8.py PID text ROLE NAME              its text (labels, entries, the status bar)
    atspi8.py PID findstatus [SECS] [TEXT]    what the find box says it found (waits for TEXT)

ROLE is the accessibility role as AT-SPI names it ("push button", "radio menu item", "link");
NAME is matched exactly, "*" matches any (a status bar is named after its message). Objects of the page (links) are looked up inside the web document.
Every wait is bounded; a failure prints what was seen and exits 1.
"""

import sys
import time

import pyatspi

STATES = {
    "sensitive": pyatspi.STATE_SENSITIVE,
    "showing": pyatspi.STATE_SHOWING,
    "checked": pyatspi.STATE_CHECKED,
    "focused": pyatspi.STATE_FOCUSED,
    "visible": pyatspi.STATE_VISIBLE,
}
MAX_NODES = 4000


def application(pid):
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        try:
            if app is not None and app.get_process_id() == pid:
                return app
        except Exception:
            continue
    return None


def walk(node, seen, into_page):
    """Every object below node, depth first; the page's own tree only when asked for."""
    stack = [node]
    while stack and seen[0] < MAX_NODES:
        acc = stack.pop()
        seen[0] += 1
        yield acc
        try:
            if acc.getRoleName() == "document web" and not into_page:
                continue
            count = acc.childCount
        except Exception:
            continue
        for i in reversed(range(count)):
            try:
                child = acc.getChildAtIndex(i)
            except Exception:
                child = None
            if child is not None:
                stack.append(child)


def find_all(pid, role, name):
    app = application(pid)
    if app is None:
        return []
    into_page = role in ("link", "paragraph", "heading", "entry", "push button", "section")
    found = []
    for acc in walk(app, [0], into_page):
        try:
            if acc.getRoleName() == role and (name == "*" or acc.name == name):
                found.append(acc)
        except Exception:
            continue
    return found


def states_of(acc):
    try:
        have = acc.getState()
    except Exception:
        return set()
    return {word for word, state in STATES.items() if have.contains(state)}


def first_showing(pid, role, name):
    matches = find_all(pid, role, name)
    for acc in matches:
        if "showing" in states_of(acc):
            return acc
    return matches[0] if matches else None


def text_of(acc):
    try:
        text = acc.queryText()
        return text.getText(0, -1)
    except Exception:
        pass
    # A status bar holds its message in a label.
    for i in range(getattr(acc, "childCount", 0)):
        child = acc.getChildAtIndex(i)
        if child is not None:
            value = text_of(child)
            if value:
                return value
    return acc.name or ""


def find_status(pid):
    """The label after "Direction:" in the find box."""
    for label in find_all(pid, "label", "Direction:"):
        parent = label.parent
        after = False
        for i in range(parent.childCount):
            child = parent.getChildAtIndex(i)
            if child is None:
                continue
            if after and child.getRoleName() == "label":
                return text_of(child)
            if child == label:
                after = True
    return None


def wait_for(check, secs):
    deadline = time.monotonic() + secs
    while True:
        result = check()
        if result or time.monotonic() > deadline:
            return result
        time.sleep(0.1)


def main(argv):
    if len(argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    pid, command, args = int(argv[1]), argv[2], argv[3:]
    if command == "states":
        acc = first_showing(pid, args[0], args[1])
        if acc is None:
            print("absent")
            return 1
        print(" ".join(sorted(states_of(acc))))
        return 0
    if command == "wait":
        role, name, want = args[0], args[1], args[2]
        secs = float(args[3]) if len(args) > 3 else 10

        def met():
            acc = first_showing(pid, role, name)
            if want == "absent":
                return acc is None or "showing" not in states_of(acc)
            if acc is None:
                return False
            have = states_of(acc)
            return want[1:] not in have if want.startswith("!") else want in have

        if wait_for(met, secs):
            return 0
        acc = first_showing(pid, role, name)
        seen = "absent" if acc is None else " ".join(sorted(states_of(acc)))
        print("%s %r: wanted %s, has %s" % (role, name, want, seen), file=sys.stderr)
        return 1
    if command == "center":
        role, name = args[0], args[1]
        secs = float(args[2]) if len(args) > 2 else 10

        def showing():
            acc = first_showing(pid, role, name)
            return acc if acc is not None and "showing" in states_of(acc) else None

        acc = wait_for(showing, secs)
        if acc is None:
            print("%s %r is not showing" % (role, name), file=sys.stderr)
            return 1
        box = acc.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        print("%d %d" % (box.x + box.width // 2, box.y + box.height // 2))
        return 0
    if command == "text":
        acc = first_showing(pid, args[0], args[1])
        if acc is None:
            return 1
        print(text_of(acc))
        return 0
    if command == "findstatus":
        secs = float(args[0]) if args else 0
        want = args[1] if len(args) > 1 else None
        status = wait_for(lambda: (lambda s: s if s and (want is None or s == want) else None)(
            find_status(pid)), secs)
        print(status if status is not None else find_status(pid) or "")
        return 0 if status is not None else 1
    print("unknown command %s" % command, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
