#!/usr/bin/env python3
"""Console events against packed console programs under Wine, many at once
and under load, to find the rare run that ends with a wrong status, leaves
its extraction directory, or hangs. Not a test: it takes up to an hour, and
its counts go into bench/results.md.

    bench/stress_console.py [--events N] [--parallel P] [--load L] [--seed S]

Of the events, 80% are Ctrl+C to an application that ends on it with its own
status (1..120, chosen at random), 10% Ctrl+C to one that ignores it (the
launcher ends it after its 5 s grace: STATUS_CONTROL_C_EXIT), and 10%
Ctrl+C at a random moment around the end of one that ends by itself after
a second (its own status, or 0 when it ended first: never anything else).
Ctrl+Break and a console's close cannot be sent from a terminal here: Wine
takes Ctrl+\\ and a closed terminal as Unix signals, not console events.
P runs go at once beside L processes that keep a core busy. The seed printed
at the start gives the same events again.
"""
import argparse
import glob
import multiprocessing
import os
import random
import shutil
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
from console_session import ConsoleSession  # noqa: E402

WORK = ROOT / "build" / "stress"
RESULTS = ROOT / "bench" / "stress-results.md"  # bench/run_bench.py puts it into bench/results.md
PREFIX = WORK / "wine-prefix"
WINE = "/usr/lib/wine/wine64" if os.path.exists("/usr/lib/wine/wine64") else "wine64"
STATUS_CONTROL_C_EXIT = 0xC000013A
APPLICATION = "console_probe.dll"
STAMPS = PREFIX / "drive_c" / "stress-stamps"
HANG_SECONDS = 60  # far beyond the 5 s grace: a run still going then is hung


def prepare():
    WORK.mkdir(parents=True, exist_ok=True)
    subprocess.run(["bash", str(ROOT / "scripts/wine-run.sh"), str(PREFIX), WINE, "--init"], check=True)
    shutil.rmtree(STAMPS, ignore_errors=True)
    STAMPS.mkdir()
    probe = ROOT / "build/windows/tests" / APPLICATION
    exe = WORK / "probe.exe"
    subprocess.run([str(ROOT / "dist/vorbel-pack"), "build", "--console", "--launcher", str(ROOT / "dist/launcher.exe"),
                    "--app", str(probe), "-o", str(exe)], check=True, capture_output=True)
    return exe


def one_event(exe, number, kind, own_status, delay):
    """(problem or None, seconds) of one run and its event."""
    arguments = ["sleep", "1" if kind == "racing" else "300", "ignore" if kind == "ignored" else str(own_status)]
    # The application makes this file as its handler starts: a wrong status
    # then tells a Ctrl+C that never reached it from an end that did not follow.
    stamp = STAMPS / ("event-%d" % number)
    if kind == "ctrl-c":
        arguments.append("C:\\stress-stamps\\" + stamp.name)
    expected = {(STATUS_CONTROL_C_EXIT if kind == "ignored" else own_status) & 0xFF}
    if kind == "racing":
        expected.add(0)
    started = time.monotonic()
    session = ConsoleSession(str(exe), str(PREFIX), WINE, arguments)
    session.read_until(lambda: session.showed(b"sleeping"), 120)
    if not session.showed(b"sleeping"):
        # Ended before its first line, or still silent at the limit.
        status = session.wait_end(5)
        if status is None:
            session.kill()
            return "did not start, silent for 120 s", time.monotonic() - started
        session.close()
        return "did not start, ended with status %d, showing %r" % (status, session.shown[-300:]), \
            time.monotonic() - started
    if kind == "racing":
        time.sleep(delay)
    session.type(b"\x03")
    typed = time.time()
    status = session.wait_end(HANG_SECONDS)
    if status is None:
        session.kill()
        return "hang", time.monotonic() - started
    session.close()
    if status not in expected:
        reached = ""
        if kind == "ctrl-c":
            reached = (", the handler ran %.1f s after the key" % (stamp.stat().st_mtime - typed) if stamp.exists()
                       else ", the handler never ran")
        return "status %d, expected %s%s" % (status, " or ".join(map(str, sorted(expected))), reached), \
            time.monotonic() - started
    return None, time.monotonic() - started


def keep_busy(stop):
    while not stop.is_set():
        pass


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=1000)
    parser.add_argument("--parallel", type=int, default=3)
    parser.add_argument("--load", type=int, default=1)
    parser.add_argument("--seed", type=int, default=None)
    options = parser.parse_args()
    seed = options.seed if options.seed is not None else random.randrange(1 << 31)
    print("stress: %d console events, %d at once, %d busy processes, seed %d (--seed %d repeats them)" %
          (options.events, options.parallel, options.load, seed, seed), flush=True)
    chooser = random.Random(seed)
    events = []
    for _ in range(options.events):
        roll = chooser.random()
        kind = "ctrl-c" if roll < 0.8 else "ignored" if roll < 0.9 else "racing"
        events.append((kind, chooser.randint(1, 120), chooser.uniform(0.5, 1.5)))

    exe = prepare()
    pattern = str(PREFIX) + "/drive_c/users/*/Temp/onefile_*"
    before = set(glob.glob(pattern))
    stop = multiprocessing.Event()
    busy = [multiprocessing.Process(target=keep_busy, args=(stop,)) for _ in range(options.load)]
    for process in busy:
        process.start()
    problems = {}
    began = time.monotonic()
    try:
        with ThreadPoolExecutor(options.parallel) as pool:
            results = pool.map(lambda event: one_event(exe, *event), [(number, *event) for number, event in
                                                                        enumerate(events, 1)])
            for number, ((kind, own_status, _), (problem, seconds)) in enumerate(zip(events, results), 1):
                if problem is not None:
                    problems.setdefault(problem.split(",")[0], []).append((number, kind, own_status, problem))
                    print("event %d (%s, own status %d): %s, after %.1f s" % (number, kind, own_status, problem,
                                                                               seconds), flush=True)
                if number % 100 == 0:
                    print("%d events, %.0f s" % (number, time.monotonic() - began), flush=True)
    finally:
        stop.set()
        for process in busy:
            process.join()
    # Give a run's last removal (and a scanner-like hold) a moment before counting.
    time.sleep(2)
    left = sorted(d for d in set(glob.glob(pattern)) - before if os.path.exists(os.path.join(d, APPLICATION)))
    wrong = sum(len(found) for problem, found in problems.items() if problem.startswith("status"))
    hangs = len(problems.get("hang", []))
    print("stress: %d events in %.0f s: %d wrong statuses, %d directories left, %d hangs, %d not started" %
          (options.events, time.monotonic() - began, wrong, len(left), hangs, len(problems.get("did not start", []))))
    for directory in left:
        print("left:", directory)
    counts = {kind: sum(1 for event in events if event[0] == kind) for kind in ("ctrl-c", "ignored", "racing")}
    RESULTS.write_text(
        "## Console events under load\n\n"
        "`make stress` (`bench/stress_console.py --events %d --parallel %d --load %d --seed %d`), %s: "
        "%d Ctrl+C to an application that ends with its own status, %d to one that ignores it, %d around the "
        "end of one that ends by itself; %d at once beside %d busy processes, %.0f s in all.\n\n"
        "| wrong statuses | directories left | hangs | not started |\n|---|---|---|---|\n"
        "| %d | %d | %d | %d |\n" % (
            options.events, options.parallel, options.load, seed, time.strftime("%Y-%m-%d"), counts["ctrl-c"],
            counts["ignored"], counts["racing"], options.parallel, options.load, time.monotonic() - began, wrong,
            len(left), hangs, len(problems.get("did not start", []))))
    return 0 if not problems and not left else 1


if __name__ == "__main__":
    sys.exit(main())
