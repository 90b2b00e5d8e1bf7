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
import pty
import select
import sys
import time

exe, prefix, wine = sys.argv[1:4]
application = "console_probe.dll"  # the first entry of every program this test is given
how = sys.argv[4:5]
expected = int(sys.argv[5], 0) & 0xFF if len(sys.argv) > 5 else None
env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=", DISPLAY="")
pattern = prefix + "/drive_c/users/*/Temp/onefile_*"
before = set(glob.glob(pattern))

pid, terminal = pty.fork()
if pid == 0:
    os.execve(wine, [wine, exe, "sleep", "300"] + how, env)

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
# Other tests may run packed programs in the same prefix meanwhile: this run's
# directory is the new one that holds this application.
created = {d for d in set(glob.glob(pattern)) - before if os.path.exists(os.path.join(d, application))}
if len(created) != 1:
    fail("expected one new extraction directory, found %s" % sorted(created))

os.write(terminal, b"\x03")
end = time.monotonic() + 120
read_until(lambda: False, 120)
# The terminal closes as the program ends, a moment before the process is gone.
ended, status = os.waitpid(pid, os.WNOHANG)
while ended == 0 and time.monotonic() < end:
    time.sleep(0.1)
    ended, status = os.waitpid(pid, os.WNOHANG)
if ended == 0:
    fail("still running 120 s after Ctrl+C")
if expected is not None and os.waitstatus_to_exitcode(status) != expected:
    fail("status %d, expected %d" % (os.waitstatus_to_exitcode(status), expected))
if b"woke" in shown:
    fail("the application ran to its end: Ctrl+C did not stop it")
if os.path.exists(created.pop()):
    fail("the extraction directory is still there")
print("Ctrl+C%s: run ended with status %s and extraction directory removed" % (
    " (" + how[0] + ")" if how else "", os.waitstatus_to_exitcode(status)))
