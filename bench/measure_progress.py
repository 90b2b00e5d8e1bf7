#!/usr/bin/env python3
"""How the build tool's progress line behaves on a terminal: when the first
line appears, the longest gap between redraws, and the share shown against
the share of the run's time gone. Numbers to stdout, no pass or fail.

    measure_progress.py VORBEL-PACK LAUNCHER.exe APP.dll TREE [build option]...
e.g. bench/make_tree.py /tmp/tree && bench/measure_progress.py dist/vorbel-pack dist/launcher.exe \\
         dist/sample_app.dll /tmp/tree
"""
import os
import pty
import re
import select
import sys
import tempfile
import time

pack, launcher, app, tree = sys.argv[1:5]
output = os.path.join(tempfile.mkdtemp(), "out.exe")
command = [pack, "build", "--launcher", launcher, "--app", app, "--add", tree, "-o", output] + sys.argv[5:]

start = time.monotonic()
pid, terminal = pty.fork()
if pid == 0:
    os.execv(pack, command)
seen = []  # (seconds since start, text of each redraw)
pending = b""
while True:
    ready, _, _ = select.select([terminal], [], [], 1.0)
    if not ready:
        continue
    try:
        data = os.read(terminal, 4096)
    except OSError:
        break
    if not data:
        break
    now = time.monotonic() - start
    pending += data
    *parts, pending = re.split(rb"[\r\n]", pending)
    seen += [(now, part.decode().strip()) for part in parts if part.strip()]
os.waitpid(pid, 0)
total = time.monotonic() - start
os.remove(output)

lines = [(t, text) for t, text in seen if text.startswith("packing:")]
gaps = [b[0] - a[0] for a, b in zip(lines, lines[1:])]
print(f"run: {total:.1f} s, {len(lines)} progress lines")
print(f"first line after: {lines[0][0]:.2f} s" if lines else "no progress line")
if gaps:
    print(f"longest gap between lines: {max(gaps):.2f} s")
for fraction in (0.25, 0.5, 0.75, 0.9):
    at = [text for t, text in lines if t <= fraction * total]
    if at:
        print(f"at {fraction:.0%} of the run's time: {at[-1]}")
print("last line:", seen[-1][1] if seen else "none")
