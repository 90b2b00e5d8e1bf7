#!/usr/bin/env python3
"""The modules each instance of a normal run loads, by Wine's loader trace
(WINEDEBUG=+loaddll,+pid): neither instance may load shell32, user32 or gdi32,
and neither may load more modules than an empty program that imports the same
Windows DLLs as the launcher, besides, in the re-launched instance, the
application's own DLLs from the extraction directory. Each DLL more is paid
for at every start. The same holds for a program packed with
--progress-window whose start ends before the window is due.

    check_module_count.py VORBEL-PACK LAUNCHER.exe APP.dll EMPTY_IMPORTER.exe WINE_PREFIX
"""
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
from loaded_modules import base_name, modules_by_process, system_modules, trace_env  # noqa: E402

pack, launcher, app, empty, prefix = (os.path.abspath(arg) for arg in sys.argv[1:6])
wine = next(w for w in ("/usr/lib/wine/wine64", shutil.which("wine64"), shutil.which("wine")) if w and os.path.exists(w))
env = trace_env(os.environ, prefix)
FORBIDDEN = ("shell32.dll", "user32.dll", "gdi32.dll")


def fail(problem):
    print("FAIL:", problem)
    sys.exit(1)


with tempfile.TemporaryDirectory() as scratch:
    # Entries in directories of their own, as most applications have: making
    # them must not reach for anything beyond the extraction directory.
    docs = os.path.join(scratch, "data", "docs")
    os.makedirs(docs)
    with open(os.path.join(docs, "readme.txt"), "w") as readme:
        readme.write("nested\n")
    # A start of 1 MB, which ends long before the progress window is due.
    with open(os.path.join(scratch, "data", "blob.bin"), "wb") as blob:
        blob.write(os.urandom(1 << 20))
    runs = {}
    for name, options in (("counted.exe", []), ("with-progress.exe", ["--progress-window"])):
        packed = os.path.join(scratch, name)
        subprocess.run([pack, "build", "--launcher", launcher, "--app", app, "--add", os.path.join(scratch, "data"),
                        "-o", packed] + options, check=True, stdout=subprocess.DEVNULL)
        runs[name] = modules_by_process(wine, packed, ["one", "two"], env)
    _, empty_instances = modules_by_process(wine, empty, [], env)

if len(empty_instances) != 1:
    fail("expected one process of the empty program, found %d" % len(empty_instances))
baseline = len(next(iter(empty_instances.values())))
for name, (status, instances) in runs.items():
    if status != 0:
        fail("%s ended with status %d" % (name, status))
    if len(instances) != 2:
        fail("%s: expected two launcher processes, found %d: %s" % (name, len(instances), instances))
    for role, modules in zip(("extracting", "re-launched"), instances.values()):
        forbidden = [m for m in modules if base_name(m) in FORBIDDEN]
        if forbidden:
            fail("%s: the %s instance loads %s" % (name, role, ", ".join(forbidden)))
        system = system_modules(modules)
        if len(system) > baseline:
            fail("%s: the %s instance loads %d modules besides the application's, an empty program %d: %s" %
                 (name, role, len(system), baseline, " ".join(system)))
        print("%s, %s instance: %d modules (%d of the application's); an empty program: %d" %
              (name, role, len(modules), len(modules) - len(system), baseline))
