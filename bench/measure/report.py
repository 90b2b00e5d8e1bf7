"""The figures: bench/results.md, its plot, and the README's headline lines."""
import os
import statistics
import subprocess

from .closing import closing_lines
from .common import (
    CACHED_LATER_PAIRS, FLUSH_PAIRS, FLUSH_ROW, LEFTOVERS, LEFTOVERS_ROW, SAMPLE_FLOOR_PAIRS, TWO_STARTS_ROW,
    DEFAULT_LEVEL, GUARD_OWN_ROUNDS, GUARD_OWN_ROW, GUARD_ROW, HUGE_CORPUS_LEVEL, MEMORY_ALLOWANCE, MIB,
    PACKER_BUDGET, ROOT, TARGET_LAUNCHER_BYTES, TARGET_PACK_SIZE, TARGET_PACK_TIME, TARGET_SLOW_CLOSE_MS, WINE,
    WORK, fmt_spread, log, platform_cpu, verdict)
from .packer_memory import PACKER_MEMORY_HEADER
from .progress import PROGRESS_MEGABYTES
from .whole_run import phase_rows, whole_floor


def write_plot(corpora, setups, png):
    """Points, not lines: the corpora differ in more than size (file count)."""
    data = WORK / "plot.dat"
    with open(data, "w") as out:
        for setup_name, results in setups.items():
            out.write("# %s: MB unpacked, launcher s, floor s, corpus\n" % setup_name)
            for name, corpus in sorted(corpora.items(), key=lambda item: item[1]["bytes"]):
                samples = results[name]
                out.write("%.3f %.4f %.4f %s\n" % (corpus["bytes"] / 1e6, statistics.median(s["whole"] for s in samples),
                                                   statistics.median(whole_floor(s) for s in samples), name))
            out.write("\n\n")
    names = list(setups)
    script = """set terminal png size 900,560
set output '%(png)s'
set title 'Whole run under Wine against its floor (median of each corpus)'
set xlabel 'payload, MB unpacked'
set ylabel 'seconds'
set key top left
set grid
set xrange [-5:115]
set yrange [0:*]
set offsets 0, 0, graph 0.1, 0
plot '%(data)s' index 0 using 1:2 with points pt 7 ps 2 title 'launcher, %(a)s', \\
     '%(data)s' index 0 using 1:3 with points pt 6 ps 2 title 'floor, %(a)s', \\
     '%(data)s' index 1 using 1:2 with points pt 5 ps 2 title 'launcher, %(b)s', \\
     '%(data)s' index 1 using 1:3 with points pt 4 ps 2 title 'floor, %(b)s', \\
     '%(data)s' index 0 using 1:2:4 with labels left offset 1.5,0 notitle
""" % {"png": png, "data": data, "a": names[0], "b": names[1]}
    subprocess.run(["gnuplot"], input=script, text=True, check=True)


def report(corpora, setups, facts, runs, closing):
    lines = []
    add = lines.append
    add("Measured with `make bench` (%d repetitions; medians, spread low-high in brackets)." % runs)
    add("")
    add("Machine: %d hardware threads, %s; Wine %s; Temp on tmpfs." % (
        os.cpu_count(), platform_cpu(), subprocess.run([WINE, "--version"], capture_output=True,
                                                       text=True).stdout.strip()))
    add("")
    add("| corpus | files | MB unpacked | payload bytes | declared window |")
    add("|---|---|---|---|---|")
    for name, corpus in corpora.items():
        add("| %s | %d | %.1f | %s | %.1f MiB |" % (corpus["title"], corpus["files"], corpus["bytes"] / 1e6,
                                                 format(corpus["payload"], ","), corpus["window"] / MIB))
    for setup_name, results in setups.items():
        add("")
        add("Under Wine, %s: seconds, and ours / floor" % setup_name)
        add("")
        add("| corpus | phase | ours s | floor s | ratio | target | met |")
        add("|---|---|---|---|---|---|---|")
        for name, corpus in corpora.items():
            for phase, ours, floor, ratios, target in phase_rows(results[name], name == "sample"):
                median = statistics.median(ratios)
                add("| %s | %s | %s | %s | %s | %s | %s |" % (
                    corpus["title"], phase, fmt_spread(ours), fmt_spread(floor), fmt_spread(ratios, "%.2f"),
                    "<= %.2f" % target if target else "", verdict(median, target)))
    add("")
    add("Floors, run in the same repetition on the same corpus: `floor_unpack` (the same frame decoded by the")
    add("same decoder, files written with CreateDirectoryW, CreateFileW, WriteFile), `floor_remove` (a plain")
    add("FindFirstFileExW/DeleteFileW/RemoveDirectoryW walk), `floor_relaunch` (starts itself again, loads the")
    add("application DLL and calls run_code) and `floor_empty` (a process start). The whole run's floor is")
    add("unpack + removal, each net of its process start, + relaunch; for the sample, whose unpack and removal")
    add("take a millisecond, it is the relaunch floor alone, measured in A/B pairs with the whole run (%d per"
        % SAMPLE_FLOOR_PAIRS)
    add("repetition, each of the two first in every other pair), so that one slow start weighs on one pair, not")
    add("twice on every ratio; the same pairs give the whole run against two `floor_empty` starts. A cached later")
    add("start is paired the same way with `floor_cached` (a process start, the DLL's load and, for the tree, a")
    add("listing of the bundle), %d pairs per repetition. Time to run_code is the moment the" % CACHED_LATER_PAIRS)
    add("benchmark DLL's run_code is entered minus VORBEL_ONEFILE_START, against the whole unpack floor.")
    add("Removal in process: the launcher's cleanup_extraction (walk, then one SHFileOperationW call) against")
    add("the plain walk, both timed inside the process on a tree floor_unpack wrote. Against no lock and sweep:")
    add("the same corpus packed into `launcher_without_leftover_guard` (the launcher with the directory lock and")
    add("the sweep of leftovers linked out), in A/B pairs run back to back, each of the two first in every other")
    add("pair, %d pairs per repetition for the tree and %d for the sample; the ratio is the median of the pairs'."
        % (corpora["tree"]["guard_pairs"], corpora["sample"]["guard_pairs"]))
    add("That median moves by 2 to 4 per cent between benches of the same code, so the target is checked on the")
    add("row below it: `bench_leftover_guard` times the launcher's own lock and sweep calls inside one process (the")
    add("lock made, the re-launched instance's open of it, the look for leftovers, the wait for the sweep, the")
    add("removal that passes over the lock and then deletes it), alternating with the same directory's removal")
    add("without them, %d rounds of each; their difference is added to the repetition's median run without the"
        % GUARD_OWN_ROUNDS)
    add("lock and sweep. The look for leftovers runs while the application runs, off the run's path, and is")
    add("counted all the same. In those rows Temp is empty, so the sweep finds nothing to remove; the row with")
    add("leftovers plants %d copies of the sample's unpacked files with their lock, named for a process that"
        % LEFTOVERS)
    add("does not run, before each run of either launcher (the one without lock and sweep leaves them, and they")
    add("are removed between runs). The flush row: first starts of the tree packed with --cache into the bench")
    add("build of the launcher, into a root on the disk (on tmpfs a flush costs nothing), with every file and")
    add("the record flushed before the rename as shipped, against VORBEL_BENCH_NO_FLUSH=1, %d pairs per" % FLUSH_PAIRS)
    add("repetition, as is only.")
    lines.extend(closing_lines(corpora, setups, facts, closing))
    add("")
    add("Closing unpacked files: on Windows the antivirus scans a new file when its handle is closed, 1 to 10 ms")
    add("a file, and the closing thread waits for it; Wine has no scanner. `launcher_bench` is the launcher built")
    add("from the same libraries with an entry of its own that makes each close of an unpacked file sleep")
    add("VORBEL_BENCH_CLOSE_DELAY_MS first and bounds the closing threads by VORBEL_BENCH_CLOSING_THREADS")
    add("(0: serial, each file closed on the main thread as it is finished, as before the closing pool, so that")
    add("serial and pooled differ in nothing else); the shipped launcher reads neither. It runs the same")
    add("payload as the tree's rows above (embedded with `vorbel-pack embed`). Time to run_code includes")
    add("waiting for every close, since the child starts only then; the floor is")
    add("`floor_unpack` on that payload without delay, run at the start and the end of the same repetition. The")
    add("A/B pairs run serial and pooled back to back without delay, in alternating order, and take the ratio")
    add("of each pair: differences of a few per cent are below the spread of single runs. Modules: each instance")
    add("of one normal run of the sample (`%s`) is counted from WINEDEBUG=+loaddll,+pid"
        % " ".join(corpora["sample"]["arguments"]))
    add("(`scripts/loaded_modules.py`, shared with the test `modules_loaded_per_instance`); the application's")
    add("own DLLs are those loaded from the extraction directory; the empty program is `empty_importer`, which")
    add("imports what the launcher imports.")
    add("")
    add("| what | ours | reference | ratio | target | met |")
    add("|---|---|---|---|---|---|")
    add("| launcher size | %s bytes | | | <= %s bytes | %s |" % (
        format(facts["launcher_bytes"], ","), format(TARGET_LAUNCHER_BYTES, ","),
        "yes" if facts["launcher_bytes"] <= TARGET_LAUNCHER_BYTES else "**no**"))
    for name, corpus in corpora.items():
        if "pack_seconds" not in corpus:
            continue
        time_ratio = statistics.median(corpus["pack_seconds"]) / statistics.median(corpus["cli_seconds"])
        size_ratio = corpus["payload"] / corpus["cli_bytes"]
        cli = "-T%d" % corpus["workers"] if corpus["workers"] else "--single-thread"
        add("| pack time, %s | %s s | zstd CLI %s %s s | %.3f | <= %.2f | %s |" % (
            corpus["title"], fmt_spread(corpus["pack_seconds"], "%.2f"), cli, fmt_spread(corpus["cli_seconds"], "%.2f"),
            time_ratio, TARGET_PACK_TIME, verdict(time_ratio, TARGET_PACK_TIME)))
        add("| payload size, %s | %s bytes | zstd CLI %s bytes | %.4f | <= %.2f | %s |" % (
            corpus["title"], format(corpus["payload"], ","), format(corpus["cli_bytes"], ","), size_ratio,
            TARGET_PACK_SIZE, verdict(size_ratio, TARGET_PACK_SIZE)))
    empty_peak = facts["empty_peak"]
    for name, corpus in corpora.items():
        peaks = [s["peak"] for results in setups.values() for s in results[name] if "peak" in s]
        if not peaks:
            continue
        peak = statistics.median(peaks)
        budget = corpus["payload"] + corpus["window"] + MEMORY_ALLOWANCE
        add("| peak memory, extracting instance, %s | %.1f MiB (%.1f above an empty program's %.1f) | payload + "
            "window + 8 MiB = %.1f MiB | %.2f (%.2f above empty) | <= 1.00 | %s |" % (
                corpus["title"], peak / MIB, (peak - empty_peak) / MIB, empty_peak / MIB, budget / MIB,
                peak / budget, (peak - empty_peak) / budget, verdict((peak - empty_peak) / budget, 1.0)))
    add("")
    add("Packing: `vorbel-pack build` at its defaults (level 19, no long mode, %d threads) against"
        " `zstd -19` on the" % os.cpu_count())
    add("payload's decoded stream (taken from the packed file with wrestool and `zstd -d`), with the workers the")
    add("packer ran for memory (`-T1` for one, `--single-thread` for none, as its first line on a terminal says:")
    add("the corpora are packed under `script`). Peak memory: the")
    add("extracting instance's PeakWorkingSetSize, read by the benchmark DLL from its parent while it waits;")
    add("the empty program's peak is `/usr/bin/time -f %M` of floor_empty under Wine.")
    add("")
    add("The packer's peak memory (`/usr/bin/time -f %M` of `vorbel-pack build`) against its target; the stream")
    add("estimate is `ZSTD_estimateCStreamSize_usingCCtxParams` at the level (bench/cstream_bound.c), times the")
    add("threads, since libzstd estimates single-threaded streams only; up to level %d the packer keeps to"
        % DEFAULT_LEVEL)
    add("%d MiB by running fewer workers. The mixed-file corpora (`make_tree.py --large --megabytes N --seed 3`)"
        % (PACKER_BUDGET // MIB))
    add("are made for the run and removed after it; level %d keeps the first 1 GB packing short." % HUGE_CORPUS_LEVEL)
    add("")
    lines.extend(PACKER_MEMORY_HEADER)
    for corpus in corpora.values():
        if "memory_row" in corpus:
            add(corpus["memory_row"])
    for row in facts["huge_rows"]:
        add(row)
    add("")
    add("![whole run against payload size](results.png)")
    add("")
    add("Commands: `make bench` (`bench/run_bench.py --runs %d`); corpora from `bench/make_tree.py` (the tree:"
        " defaults; the large files: `--large --megabytes 100`)." % runs)
    return lines


def update_readme(table_lines):
    readme = ROOT / "README.md"
    text = readme.read_text()
    begin, end = "<!-- bench:begin -->", "<!-- bench:end -->"
    if begin not in text or end not in text:
        log("README has no bench markers; left as it is")
        return
    head, rest = text.split(begin, 1)
    _, tail = rest.split(end, 1)
    readme.write_text(head + begin + "\n" + "\n".join(table_lines) + "\n" + end + tail)


def readme_lines(corpora, setups, facts, closing, progress_pairs=None):
    """The headline ratios for the README."""
    lines = ["| corpus | set-up | whole run / floor | to run_code / unpack floor | removal / plain walk "
             "| lock and sweep, in process over a run (A/B pairs), Temp empty | the same with leftovers, A/B pairs |",
             "|---|---|---|---|---|---|---|"]
    for setup_name, results in setups.items():
        for name, corpus in corpora.items():
            samples = results[name]
            ratios = {phase: statistics.median(r) for phase, _, _, r, _ in phase_rows(samples, name == "sample")}
            guard = ("%.3f (A/B pairs %.2f)" % (ratios[GUARD_OWN_ROW], ratios[GUARD_ROW])
                     if GUARD_ROW in ratios else "")
            whole = "%.2f" % ratios["whole run"]
            if TWO_STARTS_ROW in ratios:
                whole += " (two empty starts %.2f)" % ratios[TWO_STARTS_ROW]
            lines.append("| %s | %s | %s | %s | %.2f | %s | %s |" % (
                corpus["title"], setup_name, whole,
                "%.2f" % ratios["to run_code"] if "to run_code" in ratios else "",
                ratios["removal, in process"], guard,
                "%.2f" % ratios[LEFTOVERS_ROW] if LEFTOVERS_ROW in ratios else ""))
    for setup_name, results in setups.items():
        samples = results["closing"]
        if samples and TARGET_SLOW_CLOSE_MS in samples[0]["serial"]:
            delay = TARGET_SLOW_CLOSE_MS
            lines.append("")
            lines.append("%s with each close taking %d ms more (as a scanner makes it on Windows), %s: to run_code"
                         " / unpack floor without delay %.2f with the closing threads, %.2f closing each file in turn."
                         % (corpora[closing["corpus"]]["title"], delay, setup_name,
                            statistics.median(s["pooled"][delay] / s["floor"] for s in samples),
                            statistics.median(s["serial"][delay] / s["floor"] for s in samples)))
    ab = ["%s %.3f" % (name, statistics.median(r for s in results["closing"] for r in s["ab"]))
          for name, results in setups.items() if any(s["ab"] for s in results["closing"])]
    if ab:
        lines.append("Without delay, closing threads against closing in turn (A/B pairs): %s." % ", ".join(ab))
    for setup_name, results in setups.items():
        cached = []
        for name, corpus in corpora.items():
            ratios = {phase: statistics.median(r) for phase, _, _, r, _ in phase_rows(results[name], name == "sample")}
            if "cached: first start" in ratios:
                cached.append("%s: first start %.2f, later start %.2f, bundle check / listing %.2f%s" % (
                    corpus["title"], ratios["cached: first start"], ratios["cached: later start"],
                    ratios["cached: bundle check, in process"],
                    ", first start on the disk with the flush / without %.2f" % ratios[FLUSH_ROW]
                    if FLUSH_ROW in ratios else ""))
        if cached:
            lines.append("Cached mode (`--cache`), %s: %s." % (setup_name, "; ".join(cached)))
    if progress_pairs:
        lines.append("A %d MB first start with `--progress-window` against one without (A/B pairs, as is): %.3f." % (
            PROGRESS_MEGABYTES, statistics.median(a / b for a, b in progress_pairs)))
    rows, empty = facts["modules"]
    lines.append("Modules loaded by a normal run of the sample: %s; an empty program %d." % (
        ", ".join("%s instance %d (%d of the application's)" % row for row in rows), empty))
    lines.append("")
    lines.append("Launcher %s bytes. Medians; the spread and the packer's and memory figures are in "
                 "[bench/results.md](bench/results.md)." % format(facts["launcher_bytes"], ","))
    return lines
