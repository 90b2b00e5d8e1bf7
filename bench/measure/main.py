"""The command line of `make bench` and the order things are measured in."""
import argparse
import hashlib
import os
import shutil
import statistics
import subprocess
import time
from pathlib import Path

from .closing import closing_lines
from .common import (
    CLOSE_DELAYS_MS, DEFAULT_LEVEL, DIST, GUARD_OWN_ROW, GUARD_ROW, LEFTOVERS_ROW, PREFIX, ROOT, SAMPLE_FLOOR_PAIRS, SAMPLE_GUARD_PAIRS_FACTOR, PACKER_MEMORY_RESULTS,
    STRESS_RESULTS, WINESERVER, WORK, fmt_spread, log, tree_size, windows_path)
from .corpora import build_programs, compare_with_zstd, embed_in_bench_launcher, make_corpus, pack, payload_facts
from .packer_memory import huge_corpus_rows, packer_memory_only, packer_memory_row
from .progress import PROGRESS_MEGABYTES, measure_progress_option, progress_lines
from .removal import measure_start_during_removal, removal_line
from .report import readme_lines, report, update_readme, write_plot
from .whole_run import empty_program_peak, module_counts, phase_rows, run_setup
from .wine import Wine


def main(description):
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--runs", type=int, default=5, help="repetitions under Wine, per set-up")
    parser.add_argument("--pack-runs", type=int, default=1, help="repetitions of each packing")
    parser.add_argument("--no-readme", action="store_true", help="leave the README as it is")
    parser.add_argument("--packer-memory", action="store_true",
                        help="only pack the three corpora and print the packer's peak memory")
    parser.add_argument("--ab-pairs", type=int, default=4,
                        help="A/B pairs of serial and pooled closing without delay, per repetition and set-up")
    parser.add_argument("--closing-only", action="store_true",
                        help="only the closing rows (as is) and the module counts; prints them, writes nothing")
    parser.add_argument("--closing-threads", type=int, default=None,
                        help="bound of the closing threads in the pooled runs (default: the launcher's own)")
    parser.add_argument("--guard-pairs", type=int, default=8,
                        help="A/B pairs of the launcher with and without lock and sweep, per repetition, set-up and"
                             " corpus (the sample application gets %d times as many)" % SAMPLE_GUARD_PAIRS_FACTOR)
    parser.add_argument("--guard-only", action="store_true",
                        help="only the sample and the tree, with and without lock and sweep; prints them, writes nothing")
    parser.add_argument("--progress-pairs", type=int, default=4,
                        help="A/B pairs of the %d MB first start with and without --progress-window" %
                        PROGRESS_MEGABYTES)
    parser.add_argument("--progress-only", action="store_true",
                        help="only the first start with and without --progress-window; prints it, writes nothing")
    parser.add_argument("--removal-pairs", type=int, default=8,
                        help="A/B pairs of a cached start during an old bundle's removal and a steady later start")
    parser.add_argument("--removal-only", action="store_true",
                        help="only the cached start during an old bundle's removal; prints it, writes nothing")
    parser.add_argument("--cached-only", action="store_true",
                        help="only the sample and the tree, with the cached mode's rows; prints them, writes nothing")
    options = parser.parse_args()
    started = time.perf_counter()

    WORK.mkdir(parents=True, exist_ok=True)
    if options.packer_memory:
        scratch = WORK / "packer-memory"
        scratch.mkdir(exist_ok=True)
        try:
            packer_memory_only(scratch)
        finally:
            shutil.rmtree(scratch, ignore_errors=True)
        return
    programs = None if options.progress_only else build_programs()
    tag = hashlib.sha1(str(ROOT).encode()).hexdigest()[:8]
    shm = Path("/dev/shm")
    scratch = (shm if shm.is_dir() else WORK) / ("vorbel-bench-" + tag)
    shutil.rmtree(scratch, ignore_errors=True)
    scratch.mkdir(parents=True)
    progress_pairs = None
    removal_pairs = None
    try:
        if options.progress_only:
            progress_pairs = measure_progress_option(Wine(scratch), scratch, options.progress_pairs)
            print("\n".join(progress_lines(progress_pairs)))
            print("\nbench: %.0f s; wrote nothing" % (time.perf_counter() - started))
            return
        tree = make_corpus("corpus-tree")
        if options.removal_only:
            print(removal_line(measure_start_during_removal(Wine(scratch), programs, scratch, tree,
                                                            options.removal_pairs)))
            print("\nbench: %.0f s; wrote nothing" % (time.perf_counter() - started))
            return
        partial = options.closing_only or options.cached_only or options.guard_only
        large = None if partial else make_corpus("corpus-large", "--large", "--megabytes", "100")
        corpora = {
            "sample": {"title": "sample application", "app": DIST / "sample_app.dll",
                       "add": [str(DIST / "sample_helper.dll"), str(ROOT / "examples" / "sample_app" / "data")],
                       "dll": windows_path(DIST / "sample_app.dll"), "arguments": ["--exit", "0"], "timed": False},
            "tree": {"title": "(a) application tree", "app": programs["bench_app"], "add": [str(tree) + "=."],
                     "dll": windows_path(programs["bench_app"]), "arguments": [], "timed": True},
            "large": {"title": "(b) large files", "app": programs["bench_app"], "add": [str(large) + "=."],
                      "dll": windows_path(programs["bench_app"]), "arguments": [], "timed": True},
        }
        if partial:
            del corpora["large"]
        for name, corpus in corpora.items():
            corpus["packed"] = scratch / (name + ".exe")
            log("packing %s" % corpus["title"])
            packs = [pack(corpus["packed"], corpus["app"], corpus["add"], on_terminal=True)
                     for _ in range(options.pack_runs if corpus["timed"] and not options.closing_only else 1)]
            seconds = [s for s, _, _ in packs]
            corpus["pack_peak"] = max(p for _, p, _ in packs)
            corpus["workers"] = packs[0][2]
            if name in ("sample", "tree") and not options.closing_only and not options.guard_only:
                corpus["cached"] = scratch / (name + "-cached.exe")
                # A root of the bench's own: Wine sets LOCALAPPDATA from the prefix for
                # a program started from Linux, whatever the environment says.
                pack(corpus["cached"], corpus["app"], corpus["add"],
                     options=["--cache", "--cache-dir", windows_path(scratch / "local")])
            if name == "tree" and not partial:
                corpus["flush_cached"] = scratch / "tree-flush.exe"
                pack(corpus["flush_cached"], corpus["app"], corpus["add"], programs["launcher_bench"],
                     options=["--cache", "--cache-dir", windows_path(WORK / "flush-root")])
            if name in ("sample", "tree") and not options.cached_only:
                corpus["unguarded"] = scratch / (name + "-unguarded.exe")
                pack(corpus["unguarded"], corpus["app"], corpus["add"], programs["launcher_without_leftover_guard"])
                corpus["guard_pairs"] = options.guard_pairs * (SAMPLE_GUARD_PAIRS_FACTOR if name == "sample" else 1)
            if name == "sample" and not options.cached_only:
                corpus["leftover_pairs"] = options.guard_pairs
                corpus["leftover_source"] = scratch / "leftover"
                corpus["leftover_source"].mkdir()
                for item in [corpus["app"], *corpus["add"]]:
                    item = Path(item)
                    (shutil.copytree if item.is_dir() else shutil.copy)(item, corpus["leftover_source"] / item.name)
            if name == "sample" and not partial:
                corpus["floor_pairs"] = SAMPLE_FLOOR_PAIRS
            corpus["payload"], corpus["window"] = payload_facts(corpus["packed"])
            if corpus["timed"] and not partial:
                corpus["pack_seconds"] = seconds
                log("zstd CLI on the same stream")
                corpus["cli_seconds"], corpus["cli_bytes"] = compare_with_zstd(corpus["packed"], scratch,
                                                                               options.pack_runs, corpus["workers"])
            counted = [Path(corpus["app"])] + [Path(a.split("=")[0]) for a in corpus["add"]]
            corpus["files"] = sum(tree_size(p)[0] if p.is_dir() else 1 for p in counted)
            corpus["bytes"] = sum(tree_size(p)[1] if p.is_dir() else p.stat().st_size for p in counted)
            if corpus["timed"]:
                corpus["memory_row"] = packer_memory_row(corpus["title"], corpus["bytes"], DEFAULT_LEVEL,
                                                         os.cpu_count(), statistics.median(seconds),
                                                         corpus["pack_peak"])
        facts_huge = None if partial else huge_corpus_rows(programs["bench_app"], scratch)

        corpora["tree"]["bench_packed"] = scratch / "tree-bench.exe"
        embed_in_bench_launcher(programs, corpora["tree"]["packed"], corpora["tree"]["bench_packed"], scratch)

        wine = Wine(scratch)
        log("modules loaded by the sample, traced")
        facts = {"launcher_bytes": (DIST / "launcher.exe").stat().st_size,
                 "modules": module_counts(wine, corpora["sample"])}
        if not partial:
            facts["empty_peak"] = empty_program_peak(wine, programs)
            facts["huge_rows"] = facts_huge
        setups = {}
        for setup_name, pinned in (("as is", False), ("pinned to one CPU", True)):
            if options.closing_only and pinned:
                continue
            log("under Wine, %s" % setup_name)
            # The delays only as is: a close that sleeps needs no processor, pinned or not.
            closing = {"corpus": "tree", "delays": () if pinned or options.cached_only or options.guard_only else CLOSE_DELAYS_MS,
                       "ab_pairs": 0 if options.cached_only or options.guard_only else options.ab_pairs,
                       "threads": options.closing_threads, "only": options.closing_only,
                       "guard_only": options.guard_only}
            setups[setup_name] = run_setup(wine, programs, corpora, options.runs, pinned, closing)
        if not partial:
            log("a %d MB first start with and without --progress-window" % PROGRESS_MEGABYTES)
            progress_pairs = measure_progress_option(wine, scratch, options.progress_pairs)
            log("a cached start while an old bundle of tree (a) is being removed")
            removal_pairs = measure_start_during_removal(wine, programs, scratch, tree, options.removal_pairs)
    finally:
        subprocess.run([WINESERVER, "-k"], env=dict(os.environ, WINEPREFIX=str(PREFIX)), stderr=subprocess.DEVNULL)
        shutil.rmtree(scratch, ignore_errors=True)

    if options.cached_only or options.guard_only:
        wanted = ("cached",) if options.cached_only else (GUARD_ROW, GUARD_OWN_ROW, LEFTOVERS_ROW)
        for setup_name, results in setups.items():
            print("\n%s" % setup_name)
            for name, corpus in corpora.items():
                for phase, ours, floor, ratios, target in phase_rows(results[name], name == "sample"):
                    if phase.startswith(wanted) or phase == "whole run":
                        print("| %s | %s | %s | %s | %s | %s |" % (corpus["title"], phase, fmt_spread(ours),
                              fmt_spread(floor), fmt_spread(ratios, "%.2f"), target))
        print("\nbench: %.0f s; wrote nothing" % (time.perf_counter() - started))
        return
    if options.closing_only:
        print("\n".join(closing_lines(corpora, setups, facts, closing)))
        print("\nbench: %.0f s; wrote nothing" % (time.perf_counter() - started))
        return
    lines = report(corpora, setups, facts, options.runs, closing) + [""] + progress_lines(progress_pairs)
    lines += ["", removal_line(removal_pairs)]
    # The console stress run (make stress) and the packer at the default level
    # (--packer-memory) take their own time; their last figures are kept here.
    for kept in (PACKER_MEMORY_RESULTS, STRESS_RESULTS):
        if kept.exists():
            lines += ["", kept.read_text().rstrip("\n")]
    write_plot(corpora, setups, ROOT / "bench" / "results.png")
    (ROOT / "bench" / "results.md").write_text("# Benchmark results\n\n" + "\n".join(lines) + "\n")
    if not options.no_readme:
        update_readme(readme_lines(corpora, setups, facts, closing, progress_pairs))
    print("\n".join(line for line in lines if not line.startswith("![")))
    print("\nbench: %.0f s; wrote bench/results.md, bench/results.png%s" % (
        time.perf_counter() - started, "" if options.no_readme else ", README figures"))
