#!/usr/bin/env python3
"""Ctrl+C typed on the terminal of a program packed with --console, under
Wine: the event reaches the launcher's console handler, which ends the run
and removes the extraction directory, long before the application would have
ended by itself, and the run's status says how the application ended: its
own status when it ended by itself, STATUS_CONTROL_C_EXIT when it ignored
Ctrl+C and had to be ended (never 0, which scripts take for a success). The
time limits only bound a hung run; nothing is timed.

    console_ctrl_c.py PACKED.exe WINE_PREFIX WINE64 [HOW STATUS]   (the application: console_probe)

HOW is passed to the application after "sleep 300" (see console_probe.c);
STATUS is the status expected, of which the host sees the low 8 bits.
"""
import glob
import os
import sys

from console_session import ConsoleSession

exe, prefix, wine = sys.argv[1:4]
application = "console_probe.dll"  # the first entry of every program this test is given
how = sys.argv[4:5]
expected = int(sys.argv[5], 0) & 0xFF if len(sys.argv) > 5 else None
pattern = prefix + "/drive_c/users/*/Temp/onefile_*"
before = set(glob.glob(pattern))

session = ConsoleSession(exe, prefix, wine, ["sleep", "300"] + how)


def fail(problem):
    print("FAIL:", problem, "; the terminal showed:", session.text())
    session.kill()
    sys.exit(1)


session.read_until(lambda: session.showed(b"sleeping"), 240)
if not session.showed(b"sleeping"):
    fail("the application did not start")
# Other tests may run packed programs in the same prefix meanwhile: this run's
# directory is the new one that holds this application.
created = {d for d in set(glob.glob(pattern)) - before if os.path.exists(os.path.join(d, application))}
if len(created) != 1:
    fail("expected one new extraction directory, found %s" % sorted(created))

session.type(b"\x03")
status = session.wait_end(120)
if status is None:
    fail("still running 120 s after Ctrl+C")
if expected is not None and status != expected:
    fail("status %d, expected %d" % (status, expected))
if session.showed(b"woke"):
    fail("the application ran to its end: Ctrl+C did not stop it")
if os.path.exists(created.pop()):
    fail("the extraction directory is still there")
print("Ctrl+C%s: run ended with status %s and extraction directory removed" % (
    " (" + how[0] + ")" if how else "", status))
