#!/usr/bin/python3
"""Drives Quarnel's windows through the accessibility bus (AT-SPI), as a screen reader or a switch
user would: the way to press buttons on a Wayland desktop, where no program may inject input into
another. The program is the one whose process id is in QUARNEL_PID.

  a11y.py press NAME            press the showing button, radio or check box named NAME
  a11y.py showing NAME          succeed if a button named NAME shows (a window is up)
  a11y.py titled TITLE          succeed if a window titled TITLE shows
  a11y.py box                   print the showing message box's texts and buttons, fail if none
  a11y.py answer NAME           press button NAME of the showing message box
  a11y.py type NAME N TEXT      put TEXT in the Nth (from 1) text field named NAME
Each waits up to A11Y_WAIT seconds (5) for what it needs, except showing and titled."""
import os
import sys
import time

import pyatspi

BUTTONS = {pyatspi.ROLE_PUSH_BUTTON, pyatspi.ROLE_RADIO_BUTTON, pyatspi.ROLE_CHECK_BOX}


def ours():
    pid = int(os.environ["QUARNEL_PID"])
    for app in pyatspi.Registry.getDesktop(0):
        try:
            if app is not None and app.get_process_id() == pid:
                return app
        except Exception:
            pass
    return None


def showing(node):
    states = node.getState()
    return states.contains(pyatspi.STATE_SHOWING) and states.contains(pyatspi.STATE_VISIBLE)


def walk(node, depth=0):
    if node is None or depth > 12:
        return
    yield node
    for child in node:
        yield from walk(child, depth + 1)


def find(test, within=None):
    app = within or ours()
    if app is None:
        return []
    return [n for n in walk(app) if test(n) and showing(n)]


def alerts():
    return find(lambda n: n.getRole() in (pyatspi.ROLE_ALERT, pyatspi.ROLE_DIALOG))


def button_named(name, within=None):
    return find(lambda n: n.getRole() in BUTTONS and n.name == name, within)


def until(get, wait=None):
    deadline = time.monotonic() + float(os.environ.get("A11Y_WAIT", "5") if wait is None else wait)
    while True:
        found = get()
        if found or time.monotonic() > deadline:
            return found
        time.sleep(0.1)


def press(node):
    action = node.queryAction()
    names = [action.getName(i) for i in range(action.nActions)]
    for wanted in ("Press", "press", "click", "Toggle", "toggle"):
        if wanted in names:
            return action.doAction(names.index(wanted))
    return action.doAction(0)


def main(args):
    command = args[0]
    if command == "press":
        found = until(lambda: button_named(args[1]))
        if not found:
            sys.exit(f"no button named {args[1]!r} shows")
        press(found[0])
    elif command == "showing":
        sys.exit(0 if button_named(args[1]) else 1)
    elif command == "titled":
        app = ours()
        sys.exit(0 if app is not None and any(w.name == args[1] and showing(w) for w in app if w) else 1)
    elif command == "box":
        boxes = until(alerts)
        if not boxes:
            sys.exit("no message box shows")
        for node in walk(boxes[0]):
            if node.name and node is not boxes[0]:
                print(node.name)
    elif command == "answer":
        found = until(lambda: [b for a in alerts() for b in button_named(args[1], a)])
        if not found:
            sys.exit(f"no message box with a button {args[1]!r}")
        press(found[0])
    elif command == "type":
        fields = until(lambda: find(lambda n: n.getRole() == pyatspi.ROLE_TEXT and n.name == args[1]))
        if len(fields) < int(args[2]):
            sys.exit(f"no text field {args[2]} named {args[1]!r}")
        field = fields[int(args[2]) - 1]
        field.queryEditableText().setTextContents(args[3])
    else:
        sys.exit(f"unknown command {command}")


if __name__ == "__main__":
    main(sys.argv[1:])
