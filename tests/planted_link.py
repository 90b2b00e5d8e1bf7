#!/usr/bin/env python3
"""A link planted at the extraction directory's path, under Wine: another user
of a shared TEMP who predicts onefile_{PID}_{TIME} puts a link of that name to
a directory of the victim's before the launcher makes it. The packed program
is started suspended (its {TIME} preset through VORBEL_ONEFILE_START, as an
attacker would wait for the clock's), the link (a host symbolic link, which
Wine shows as a reparse point by path) is placed, and the program resumes. It
must stop with one "Error, " line and status 2, and leave the victim's
directory exactly as it was: nothing unpacked into it, nothing removed.

    planted_link.py VORBEL-PACK LAUNCHER.exe PROBE_APP.dll SUSPENDED_START.exe WINE_PREFIX
"""
import os
import shutil
import subprocess
import sys
import tempfile

pack, launcher, app, starter, prefix = (os.path.abspath(arg) for arg in sys.argv[1:6])
wine = next((w for w in ("/usr/lib/wine/wine64", shutil.which("wine64"), shutil.which("wine")) if w and os.path.exists(w)))
env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=", DISPLAY="")
stamp = "133700000000000042"


def fail(problem):
    print("FAIL:", problem)
    sys.exit(1)


def unix_path(windows_path):
    drive, rest = windows_path[0].lower(), windows_path[2:].strip("\\")
    path = os.path.join(prefix, "dosdevices", drive + ":")
    for part in rest.split("\\"):
        # Wine matches names without regard to case; the host does not.
        names = {name.lower(): name for name in os.listdir(path)}
        path = os.path.join(path, names.get(part.lower(), part))
    return path


def snapshot(root):
    found = {}
    for directory, _, files in os.walk(root):
        for name in files:
            path = os.path.join(directory, name)
            with open(path, "rb") as handle:
                found[os.path.relpath(path, root)] = handle.read()
    return found


with tempfile.TemporaryDirectory() as scratch:
    packed = os.path.join(scratch, "planted.exe")
    subprocess.run([pack, "build", "--launcher", launcher, "--app", app, "-o", packed], check=True)
    victim = os.path.join(scratch, "victim")
    os.makedirs(os.path.join(victim, "notes"))
    for name, text in (("letter.txt", b"the victim's own"), ("notes/todo.txt", b"keep me")):
        with open(os.path.join(victim, name), "wb") as handle:
            handle.write(text)
    before = snapshot(victim)
    mode = os.stat(victim).st_mode

    run = subprocess.Popen([wine, starter, packed, stamp], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, env=env)
    first = run.stdout.readline().decode("utf-8", "replace").strip()
    if not first.startswith("pid="):
        run.kill()
        fail("the starter said: %r %r" % (first, run.stderr.read()))
    pid, temp = first[4:].split(" temp=", 1)
    link = os.path.join(unix_path(temp), "onefile_%s_%s" % (pid, stamp))
    os.symlink(victim, link)
    try:
        out, err = run.communicate(b"go\n", timeout=240)
    finally:
        os.unlink(link)
    out = out.decode("utf-8", "replace").replace("\r", "")
    err = err.decode("utf-8", "replace").replace("\r", "")
    if "exit=2\n" not in out:
        fail("expected status 2; output: %r, errors: %r" % (out, err))
    lines = [line for line in err.splitlines() if line]
    if len(lines) != 1 or not lines[0].startswith("Error, refusing to unpack into '") or "link" not in lines[0]:
        fail("expected one 'Error, ' line about the link; errors: %r" % err)
    if snapshot(victim) != before:
        fail("the victim's directory changed: %s" % sorted(snapshot(victim)))
    if os.stat(victim).st_mode != mode:
        fail("the victim's directory permissions changed")
print("planted link: refused with status 2, victim untouched")
