"""What every part of the benchmark shares: where things are, the targets the
ratios are read against, and the small helpers for running and summing up.
Nothing here measures."""
import os
import re
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent.parent

WORK = ROOT / "build" / "bench"
PREFIX = WORK / "wine-prefix"
STRESS_RESULTS = ROOT / "bench" / "stress-results.md"  # written by bench/stress_console.py
PACKER_MEMORY_RESULTS = ROOT / "bench" / "packer-memory-results.md"  # written by --packer-memory
WINDOWS_BUILD = ROOT / "build" / "windows"
DIST = ROOT / "dist"
WINE_RUN = ROOT / "scripts" / "wine-run.sh"
EMPTY_IMPORTER = WINDOWS_BUILD / "tests" / "empty_importer.exe"
PIN = ["taskset", "-c", "0"]
MIB = 1024 * 1024

# Targets the ratios are read against (bench/results.md states them too).
TARGET_WHOLE_RUN = 1.2
TARGET_TO_RUN_CODE = 1.10
TARGET_SAMPLE_RUN = 1.3
TARGET_LAUNCHER_BYTES = 200 * 1000
TARGET_PACK_TIME = 1.10
TARGET_PACK_SIZE = 1.01
TARGET_LEFTOVER_GUARD = 1.02
# A run of the sample costs a fortieth of the tree's, and its single runs
# spread wider than 2 %: many more pairs for the same confidence.
SAMPLE_GUARD_PAIRS_FACTOR = 5
# Rounds of bench_leftover_guard per repetition (each a guarded and an
# unguarded round, about 5 ms the two under Wine).
GUARD_OWN_ROUNDS = 200
# Both with Temp empty, so the sweep finds nothing to do: the A/B pairs
# against a launcher built without lock and sweep, and the in-process time of
# the lock and sweep's own calls added to the median run without them.
GUARD_ROW = "whole run against a launcher without lock and sweep, A/B pairs, Temp empty"
GUARD_OWN_ROW = "lock and sweep's calls timed in process, over the run without them, Temp empty"
# The same pairs with this many leftovers of a killed run of the sample in
# Temp before each run, for the sweep to remove (named for a process that
# does not run, with a time of late 2025).
LEFTOVERS = 8
LEFTOVER_PID = 4000000
LEFTOVER_TIME = 134090000000000000
LEFTOVERS_ROW = "whole run with %d leftovers to sweep, against a launcher without lock and sweep, A/B pairs" % LEFTOVERS
# The sample against two bare process starts (floor_empty twice), in the
# same pairs as its whole run against the relaunch floor.
TWO_STARTS_ROW = "whole run / two empty process starts"
TARGET_SAMPLE_TWO_STARTS = 1.10  # pinned
# Whole runs of the sample against its floors, and cached later starts
# against theirs, as A/B pairs per repetition.
SAMPLE_FLOOR_PAIRS = 8
CACHED_LATER_PAIRS = 6
# First starts of the tree with and without the flush of every file, as is.
FLUSH_PAIRS = 2
FLUSH_ROW = "cached: first start on the disk, against one that flushes nothing, A/B pairs"
# The flush may cost a third of a first start before only the record and the
# images would be flushed.
TARGET_CACHED_FLUSH = 1.33
MEMORY_ALLOWANCE = 8 * MIB
# The packer's peak memory must not grow with its input: at most twice
# libzstd's estimate of the compression stream plus this, and never more than
# the budget it keeps to at the levels up to the default (by running fewer
# compression workers; packer/compressor_memory.h).
PACKER_ALLOWANCE = 64 * MIB
PACKER_BUDGET = 256 * MIB
# The 1 GB corpus, made for each run and removed after it. Level 9 keeps its
# packing near half a minute on two cores (level 19 would take ten); its
# window (4 MiB) is still above the level-3 one.
HUGE_CORPUS_MEGABYTES = 1024
HUGE_CORPUS_LEVEL = 9
DEFAULT_LEVEL = 19
# The same corpus at the default level, and a 200 MB one: the budget holds
# whatever the input's size. Level 19 packs the 1 GB in 20 minutes or more on
# these machines, so only --packer-memory packs them.
DEFAULT_LEVEL_CORPUS_MEGABYTES = (200, HUGE_CORPUS_MEGABYTES)
# Closing unpacked files: each close delayed by what a scanner costs on
# Windows (1-10 ms), in the bench build of the launcher.
CLOSE_DELAYS_MS = (0, 1, 3, 10)
TARGET_SLOW_CLOSE_MS = 3
TARGET_POOLED_SLOW_CLOSE = 1.5
TARGET_POOLED_NO_DELAY = 1.02
# The cached mode (--cache): a first start against today's whole run without
# its removal; a later start against one process start, the DLL load and (for
# a tree) a listing of the bundle; the bundle check against that listing.
TARGET_CACHED_FIRST = 1.1
TARGET_CACHED_LATER_TREE = 1.2
TARGET_CACHED_LATER_SAMPLE = 1.1
TARGET_CACHED_LATER_SAMPLE_PINNED = 1.05
TARGET_CACHED_CHECK = 1.0


def first_existing(*candidates):
    for candidate in candidates:
        found = shutil.which(candidate) if "/" not in candidate else (candidate if os.path.exists(candidate) else None)
        if found:
            return found
    sys.exit("bench: none of %s found" % ", ".join(candidates))


WINE = first_existing("/usr/lib/wine/wine64", "wine64", "wine")
WINESERVER = first_existing("/usr/lib/wine/wineserver64", "/usr/lib/wine/wineserver", "wineserver")


def log(text):
    print(text, file=sys.stderr, flush=True)


def fields(output):
    """key=value pairs of the benchmark programs' report lines."""
    return dict(re.findall(r"(\w+)=([0-9.]+)", output))


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


def tree_size(directory):
    files = [p for p in Path(directory).rglob("*") if p.is_file()]
    return len(files), sum(p.stat().st_size for p in files)


def timed(command, **options):
    started = time.perf_counter()
    completed = subprocess.run(command, **options)
    return time.perf_counter() - started, completed


def interleaved_pairs(count, first, run_a, run_b):
    """count A/B pairs back to back, A first in every other pair, from pair
    `first` on: a few per cent lie below the spread of single runs, but not
    below the median of many pairs' ratios. [(a, b)]."""
    pairs = []
    for pair in range(count):
        a_first = (first + pair) % 2 == 0
        if a_first:
            a = run_a()
        b = run_b()
        if not a_first:
            a = run_a()
        pairs.append((a, b))
    return pairs


def summary(values):
    """(median, low, high)."""
    return statistics.median(values), min(values), max(values)


def fmt_spread(values, unit_format="%.3f"):
    median, low, high = summary(values)
    return (unit_format + " (" + unit_format + "-" + unit_format + ")") % (median, low, high)


def verdict(ratio, target):
    if target is None:
        return ""
    return "yes" if ratio <= target else "**no**"


def platform_cpu():
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown processor"
