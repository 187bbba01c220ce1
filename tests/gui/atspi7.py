#!/usr/bin/python3
"""Reads what a program shows through the accessibility tree, for the GUI tests.

Usage:
  atspi7.py status PID            text of the status bar
  atspi7.py wait-status PID TEXT [SECONDS]
  atspi7.py menu PID              names of the menu items on screen, one a line
  atspi7.py click-menu PID NAME   activates the menu item on screen with that name
  atspi7.py press PID NAME        presses the button on screen with that name

The program must run with the accessibility bridge on (NO_AT_BRIDGE unset) on the session
bus whose accessibility bus at-spi-bus-launcher started. Exit status 1 when nothing fits.
"""
import sys
import time

import pyatspi


def application(pid):
    desktop = pyatspi.Registry.getDesktop(0)
    for app in desktop:
        try:
            if app is not None and app.get_process_id() == pid:
                return app
        except Exception:
            continue
    return None


def walk(node, depth=0):
    if node is None or depth > 60:
        return
    yield node
    try:
        count = node.childCount
    except Exception:
        return
    for i in range(count):
        try:
            child = node.getChildAtIndex(i)
        except Exception:
            continue
        yield from walk(child, depth + 1)


def showing(node):
    try:
        return node.getState().contains(pyatspi.STATE_SHOWING)
    except Exception:
        return False


def status_text(pid):
    app = application(pid)
    if app is None:
        return None
    for node in walk(app):
        if node.getRole() == pyatspi.ROLE_STATUS_BAR:
            texts = [n.name for n in walk(node) if n is not node and n.name]
            return texts[-1] if texts else (node.name or "")
    return None


def menu_items(pid):
    app = application(pid)
    items = []
    if app is None:
        return items
    for node in walk(app):
        if node.getRole() in (pyatspi.ROLE_MENU_ITEM, pyatspi.ROLE_CHECK_MENU_ITEM,
                              pyatspi.ROLE_RADIO_MENU_ITEM) and showing(node):
            items.append(node)
    return items


def main(argv):
    command, pid = argv[1], int(argv[2])
    if command == "status":
        text = status_text(pid)
        if text is None:
            return 1
        print(text)
        return 0
    if command == "wait-status":
        wanted = argv[3]
        deadline = time.time() + (float(argv[4]) if len(argv) > 4 else 20)
        text = None
        while time.time() < deadline:
            text = status_text(pid)
            if text == wanted:
                return 0
            time.sleep(0.2)
        print("status bar: %r" % text, file=sys.stderr)
        return 1
    if command == "menu":
        names = [n.name for n in menu_items(pid)]
        for name in names:
            print(name)
        return 0 if names else 1
    if command == "click-menu":
        for node in menu_items(pid):
            if node.name == argv[3]:
                node.queryAction().doAction(0)
                return 0
        return 1
    if command == "press":
        app = application(pid)
        for node in walk(app) if app is not None else []:
            if node.getRole() == pyatspi.ROLE_PUSH_BUTTON and node.name == argv[3] \
                    and showing(node):
                node.queryAction().doAction(0)
                return 0
        return 1
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
