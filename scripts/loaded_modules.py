"""The modules each process of a run loads, read from Wine's loader trace
(WINEDEBUG=+loaddll,+pid). Shared by tests/check_module_count.py, which holds
the launcher to an empty program's count, and bench/run_bench.py, which
reports the counts. Reads the trace only: it judges nothing.
"""
import os
import re
import subprocess

LOADED = re.compile(r'^([0-9a-f]+):[0-9a-f]+:trace:loaddll:.*Loaded L"([^"]*)"')
# The application's own DLLs load from the extraction directory.
EXTRACTION_MARK = "\\onefile_"


def trace_env(env, prefix):
    """env with the loader trace on, in the given prefix, without a display."""
    return dict(env, WINEPREFIX=prefix, WINEDEBUG="+loaddll,+pid", WINEDLLOVERRIDES="mscoree,mshtml=", DISPLAY="")


def modules_by_process(wine, program, arguments, env, timeout=240):
    """(exit status, {process id: [module, ...]}) for the processes that load
    `program` itself, in start order; env must switch the trace on."""
    run = subprocess.run([wine, program] + list(arguments), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                         env=env, timeout=timeout)
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


def system_modules(modules):
    """The modules that are not the application's (not from an extraction directory)."""
    return [m for m in modules if EXTRACTION_MARK not in m.lower()]


def base_name(module):
    return module.lower().rsplit("\\", 1)[-1]
