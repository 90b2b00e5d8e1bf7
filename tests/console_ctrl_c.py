#!/usr/bin/env python3
"""Ctrl+C typed on the terminal of a program packed with --console, under
Wine: the event reaches the launcher's console handler, which ends the run
and removes the extraction directory, long before the application would have
ended by itself. The time limits only bound a hung run; nothing is timed.

    console_ctrl_c.py PACKED.exe WINE_PREFIX WINE64   (the application: console_probe)
"""
import glob
import os
import pty
import select
import sys
import time

exe, prefix, wine = sys.argv[1:4]
env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=", DISPLAY="")
pattern = prefix + "/drive_c/users/*/Temp/onefile_*"
before = set(glob.glob(pattern))

pid, terminal = pty.fork()
if pid == 0:
    os.execve(wine, [wine, exe, "sleep", "300"], env)

shown = b""


def read_until(done, limit):
    """Reads the terminal until done() holds, the program closes it, or limit seconds pass."""
    global shown
    end = time.monotonic() + limit
    while not done() and time.monotonic() < end:
        ready, _, _ = select.select([terminal], [], [], 0.2)
        if ready:
            try:
                data = os.read(terminal, 4096)
            except OSError:
                return
            if not data:
                return
            # Wine draws with escape sequences; hiding and showing the cursor splits the text.
            shown += data.replace(b"\x1b[?25l", b"").replace(b"\x1b[?25h", b"")


def fail(problem):
    print("FAIL:", problem, "; the terminal showed:", shown.decode("utf-8", "replace"))
    os.kill(pid, 9)
    sys.exit(1)


read_until(lambda: b"sleeping" in shown, 240)
if b"sleeping" not in shown:
    fail("the application did not start")
created = set(glob.glob(pattern)) - before
if len(created) != 1:
    fail("expected one new extraction directory, found %s" % sorted(created))

os.write(terminal, b"\x03")
read_until(lambda: False, 120)
ended, _ = os.waitpid(pid, os.WNOHANG)
if ended == 0:
    fail("still running 120 s after Ctrl+C")
if b"woke" in shown:
    fail("the application ran to its end: Ctrl+C did not stop it")
if os.path.exists(created.pop()):
    fail("the extraction directory is still there")
print("Ctrl+C: run ended and extraction directory removed")
