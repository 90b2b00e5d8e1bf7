#!/usr/bin/env python3
"""The modules each instance of a normal run loads, by Wine's loader trace
(WINEDEBUG=+loaddll,+pid): neither instance may load shell32, user32 or gdi32,
and neither may load more modules than an empty program that imports the same
Windows DLLs as the launcher, besides, in the re-launched instance, the
application's own DLLs from the extraction directory. Each DLL more is paid
for at every start.

    check_module_count.py VORBEL-PACK LAUNCHER.exe APP.dll EMPTY_IMPORTER.exe WINE_PREFIX
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

pack, launcher, app, empty, prefix = (os.path.abspath(arg) for arg in sys.argv[1:6])
wine = next(w for w in ("/usr/lib/wine/wine64", shutil.which("wine64"), shutil.which("wine")) if w and os.path.exists(w))
env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="+loaddll,+pid", WINEDLLOVERRIDES="mscoree,mshtml=", DISPLAY="")
LOADED = re.compile(r'^([0-9a-f]+):[0-9a-f]+:trace:loaddll:.*Loaded L"([^"]*)"')
FORBIDDEN = ("shell32.dll", "user32.dll", "gdi32.dll")


def fail(problem):
    print("FAIL:", problem)
    sys.exit(1)


def modules_by_process(program, arguments):
    """{process id: [module, ...]} for the processes that load `program` itself, in start order."""
    run = subprocess.run([wine, program] + arguments, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env,
                         timeout=240)
    loads = []
    for line in run.stderr.decode("utf-8", "replace").splitlines():
        found = LOADED.match(line)
        if found:
            loads.append((found.group(1), found.group(2).replace("\\\\", "\\")))
    name = "\\" + os.path.basename(program).lower()
    ours = []
    for pid, module in loads:
        if module.lower().endswith(name) and pid not in ours:
            ours.append(pid)
    return run.returncode, {pid: [module for p, module in loads if p == pid] for pid in ours}


with tempfile.TemporaryDirectory() as scratch:
    packed = os.path.join(scratch, "counted.exe")
    subprocess.run([pack, "build", "--launcher", launcher, "--app", app, "-o", packed], check=True)
    status, instances = modules_by_process(packed, ["one", "two"])
    if status != 0:
        fail("the packed program ended with status %d" % status)
    _, empty_instances = modules_by_process(empty, [])

if len(empty_instances) != 1:
    fail("expected one process of the empty program, found %d" % len(empty_instances))
baseline = len(next(iter(empty_instances.values())))
if len(instances) != 2:
    fail("expected two launcher processes, found %d: %s" % (len(instances), instances))
for role, modules in zip(("extracting", "re-launched"), instances.values()):
    forbidden = [m for m in modules if m.lower().rsplit("\\", 1)[-1] in FORBIDDEN]
    if forbidden:
        fail("the %s instance loads %s" % (role, ", ".join(forbidden)))
    system = [m for m in modules if "\\onefile_" not in m.lower()]
    if len(system) > baseline:
        fail("the %s instance loads %d modules besides the application's, an empty program %d: %s" %
             (role, len(system), baseline, " ".join(system)))
    print("%s instance: %d modules (%d of the application's); an empty program: %d" %
          (role, len(modules), len(modules) - len(system), baseline))
