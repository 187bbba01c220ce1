#!/usr/bin/python3
"""Reads and works a program's widgets through the accessibility bus, for the GUI tests.

    atspi.py PID wait ROLE NAME STATE [SECS]  waits until the first match has STATE ("!STATE":
                                              lacks it; "absent": none of them is showing)
    atspi.py PID center ROLE NAME [SECS]      screen position of its middle, "X Y", once showing
    atspi.py PID wait-status TEXT [SECS]      waits until the status bar reads TEXT
    atspi.py PID menu                         names of the menu items on screen, one a line
    atspi.py PID click-menu NAME              activates the menu item on screen with that name
    atspi.py PID press NAME                   presses the button on screen with that name
    atspi.py PID findstatus [SECS] [TEXT]     what the find box says it found (waits for TEXT)

PID is the program's process. ROLE is the accessibility role as AT-SPI names it ("push button",
"radio menu item", "link"); NAME is matched exactly, "*" matches any. Objects of the page
(links, paragraphs, entries, its buttons) are looked up inside the web document, the others
only outside it. The program must run with its accessibility bridge on (NO_AT_BRIDGE unset) on
the session bus whose accessibility bus at-spi-bus-launcher started. Every wait is bounded; a
command that finds nothing fitting prints what it saw and exits 1.
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
PAGE_ROLES = ("link", "paragraph", "heading", "entry", "push button", "section")
MENU_ROLES = ("menu item", "check menu item", "radio menu item")
MAX_NODES = 4000


def application(pid):
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        try:
            app = desktop.getChildAtIndex(i)
            if app is not None and app.get_process_id() == pid:
                return app
        except Exception:
            continue
    return None


def walk(node, into_page):
    """Every object below node, depth first; the page's own tree only when asked for."""
    stack, seen = [node], 0
    while stack and seen < MAX_NODES:
        acc = stack.pop()
        seen += 1
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


def find_all(pid, roles, name):
    """Objects of any of the roles named NAME ("*": any name), in the order of the tree."""
    app = application(pid)
    if app is None:
        return []
    into_page = any(role in PAGE_ROLES for role in roles)
    found = []
    for acc in walk(app, into_page):
        try:
            if acc.getRoleName() in roles and (name == "*" or acc.name == name):
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


def showing(pid, roles, name):
    return [acc for acc in find_all(pid, roles, name) if "showing" in states_of(acc)]


def first_showing(pid, role, name):
    """The first match on screen, else the first match at all, else None."""
    matches = find_all(pid, (role,), name)
    for acc in matches:
        if "showing" in states_of(acc):
            return acc
    return matches[0] if matches else None


def text_of(acc):
    try:
        return acc.queryText().getText(0, -1)
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


def status_text(pid):
    bars = find_all(pid, ("status bar",), "*")
    return text_of(bars[0]) if bars else None


def find_status(pid):
    """The label after "Direction:" in the find box."""
    for label in find_all(pid, ("label",), "Direction:"):
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


def seconds(args, index, default):
    return float(args[index]) if len(args) > index else default


def wait(pid, args):
    role, name, want = args[0], args[1], args[2]

    def met():
        acc = first_showing(pid, role, name)
        if want == "absent":
            return acc is None or "showing" not in states_of(acc)
        if acc is None:
            return False
        have = states_of(acc)
        return want[1:] not in have if want.startswith("!") else want in have

    if wait_for(met, seconds(args, 3, 10)):
        return 0
    acc = first_showing(pid, role, name)
    seen = "absent" if acc is None else " ".join(sorted(states_of(acc)))
    print("%s %r: wanted %s, has %s" % (role, name, want, seen), file=sys.stderr)
    return 1


def center(pid, args):
    role, name = args[0], args[1]

    def on_screen():
        acc = first_showing(pid, role, name)
        return acc if acc is not None and "showing" in states_of(acc) else None

    acc = wait_for(on_screen, seconds(args, 2, 10))
    if acc is None:
        print("%s %r is not showing" % (role, name), file=sys.stderr)
        return 1
    box = acc.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    print("%d %d" % (box.x + box.width // 2, box.y + box.height // 2))
    return 0


def wait_status(pid, args):
    wanted = args[0]
    if wait_for(lambda: status_text(pid) == wanted, seconds(args, 1, 20)):
        return 0
    print("status bar: %r" % status_text(pid), file=sys.stderr)
    return 1


def menu(pid, args):
    names = [acc.name for acc in showing(pid, MENU_ROLES, "*")]
    for name in names:
        print(name)
    return 0 if names else 1


def do_action(pid, roles, name):
    found = showing(pid, roles, name)
    if not found:
        print("no %s %r on screen" % (roles[0], name), file=sys.stderr)
        return 1
    found[0].queryAction().doAction(0)
    return 0


def findstatus(pid, args):
    want = args[1] if len(args) > 1 else None

    def found():
        status = find_status(pid)
        return status if status and (want is None or status == want) else None

    status = wait_for(found, seconds(args, 0, 0))
    print(status if status is not None else find_status(pid) or "")
    return 0 if status is not None else 1


COMMANDS = {
    "wait": wait,
    "center": center,
    "wait-status": wait_status,
    "menu": menu,
    "click-menu": lambda pid, args: do_action(pid, MENU_ROLES, args[0]),
    "press": lambda pid, args: do_action(pid, ("push button",), args[0]),
    "findstatus": findstatus,
}


def main(argv):
    if len(argv) < 3 or argv[2] not in COMMANDS:
        print(__doc__, file=sys.stderr)
        return 2
    return COMMANDS[argv[2]](int(argv[1]), argv[3:])


if __name__ == "__main__":
    sys.exit(main(sys.argv))
