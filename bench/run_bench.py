#!/usr/bin/env python3
"""`make bench`: the launcher's whole run under Wine against its floors,
measured in the same run on the same corpora, and the build tool against the
zstd CLI. Prints a table, writes bench/results.md and bench/results.png, and
refreshes the figures in the README between its bench markers.

Absolute times on a shared machine swing; the figures that count are the
ratios, each taken within one repetition (the launcher and its floors run
back to back) and reported as the median with the spread over repetitions.
Never part of `make test`: nothing here passes or fails on a time.

    bench/run_bench.py [--runs N] [--pack-runs N] [--ab-pairs N] [--no-readme]
    bench/run_bench.py --packer-memory     (only the packer's peak memory rows)
    bench/run_bench.py --closing-only [--runs N] [--closing-threads N]
    bench/run_bench.py --cached-only [--runs N]   (the sample and the tree, with the cached rows; prints them)
    bench/run_bench.py --guard-only [--runs N] [--guard-pairs N]   (the same, with and without lock and sweep)
    bench/run_bench.py --progress-only [--progress-pairs N]   (a 200 MB first start with and without --progress-window)
    bench/run_bench.py --removal-only [--removal-pairs N]   (a cached start while an old tree bundle is removed)

Needs `make` first (the Makefile's bench target does it) and the benchmark
programs (`cmake --build --preset windows --target bench_programs`, done here).
Writes below build/bench and a scratch directory on tmpfs (removed at the end).
The rows are measured by the modules of bench/measure/, one per family.
"""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from measure.main import main  # noqa: E402

if __name__ == "__main__":
    main(__doc__.splitlines()[0])
