"""Reads the window through AT-SPI as a screen reader does: every control's name and role,
the progress bar's value and description, and the description's change event when a queue
run ends ("Kész"). Usage: dbus-run-session -- atspi_check.py ZELVO_BINARY; the script starts
its own Xvfb on a free display."""
import os
import subprocess
import sys
import time

import pyatspi
from gi.repository import GLib

LIMIT_S = 120  # only a fault comes near this

EXPECTED = {  # (role, name) of each control the reader must find
    ("text", "Film azonosítója"),
    ("push button", "Start!"),
    ("push button", "Azonosító a letöltési sorba"),
    ("push button", "Minden film"),
    ("push button", "Letöltési sor"),
    ("combo box", "Meghajtó"),
    ("list", "Mappa"),
    ("progress bar", "Letöltés állapota"),
    ("list", "Filmlista"),
    ("push button", "Letölt!"),
    ("push button", "Kijelölt film a letöltési sorba"),
    ("list", "Sorra váró filmek"),
    ("push button", "Törlés a sorból"),
    ("push button", "Mindet letölt!"),
    ("push button", "Becsuk"),
}


def find_app(name):
    deadline = time.monotonic() + LIMIT_S
    while time.monotonic() < deadline:
        for app in pyatspi.Registry.getDesktop(0):
            if app is not None and app.name == name and app.childCount > 0:
                return app
        time.sleep(0.2)
    sys.exit("the window never reached the accessibility bus")


def controls(node):
    for child in filter(None, node):
        yield child
        yield from controls(child)


def start_display():
    """Xvfb picks a free display itself and names it once it accepts clients."""
    read_end, write_end = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp",
                               "-screen", "0", "1024x768x24"], pass_fds=[write_end])
    os.close(write_end)
    with os.fdopen(read_end) as f:
        number = f.readline().strip()
    if not number:
        sys.exit("Xvfb did not start")
    return server, ":" + number


def main():
    display, name = start_display()
    env = dict(os.environ, DISPLAY=name, QT_QPA_PLATFORM="xcb",
               QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
    program = subprocess.Popen([sys.argv[1]], env=env)
    try:
        check(find_app(os.path.basename(sys.argv[1])))
    finally:
        program.terminate()
        program.wait()
        display.terminate()
        display.wait()
    print("AT-SPI tree and events as expected")


def check(app):
    found = {(c.getRoleName(), c.name): c for c in controls(app)}
    missing = EXPECTED - found.keys()
    unnamed = [c.getRoleName() for c in controls(app)
               if not c.name and c.getState().contains(pyatspi.STATE_SHOWING)]
    if missing or unnamed:
        sys.exit(f"not found: {sorted(missing)}, shown without a name: {unnamed}\n"
                 f"found: {sorted(found)}")
    bar = found[("progress bar", "Letöltés állapota")]
    value = bar.queryValue()
    if (value.minimumValue, value.maximumValue) != (0, 100) or bar.description != "v0.51":
        sys.exit(f"bar: {value.minimumValue}..{value.maximumValue}, {bar.description!r}")
    if bar.childCount != 0:
        sys.exit("the bar's labels are read on their own")

    # An empty queue run: busy, then idle with "Kész" on the status line.
    heard = []

    def on_description(event):
        if event.source.getRoleName() == "progress bar":
            heard.append(event.source.description)
            if event.source.description == "Kész":
                pyatspi.Registry.stop()

    pyatspi.Registry.registerEventListener(on_description,
                                           "object:property-change:accessible-description")
    run = found[("push button", "Mindet letölt!")].queryAction()
    GLib.idle_add(lambda: run.doAction(0) and False)
    GLib.timeout_add_seconds(LIMIT_S, lambda: pyatspi.Registry.stop() and False)
    pyatspi.Registry.start()
    if "Kész" not in heard:
        sys.exit(f"descriptions heard: {heard}")
    if bar.queryValue().currentValue != 100:
        sys.exit(f"bar value after the run: {bar.queryValue().currentValue}")


if __name__ == "__main__":
    main()
