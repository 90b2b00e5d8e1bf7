"""The build tool's peak memory against its target, on the tree, the large
files and mixed-file corpora made for the run."""
import os
import shutil
import subprocess
import sys
import time

from .common import (
    DEFAULT_LEVEL, DEFAULT_LEVEL_CORPUS_MEGABYTES, DIST, HUGE_CORPUS_LEVEL, HUGE_CORPUS_MEGABYTES, MIB,
    PACKER_MEMORY_RESULTS,
    PACKER_ALLOWANCE, PACKER_BUDGET, ROOT, WORK, log, tree_size, verdict)
from .corpora import make_corpus, pack


def packer_memory_target(level, threads):
    """(stream estimate, target) in bytes. libzstd (1.5) estimates single-threaded streams only and
    refuses a worker count, so with workers it is the estimate for one stream times the threads: each
    worker holds a context of its own."""
    tool = WORK / "cstream_bound"
    source = ROOT / "bench" / "cstream_bound.c"
    if not tool.exists() or tool.stat().st_mtime < source.stat().st_mtime:
        subprocess.run(["cc", "-O2", str(source), "-lzstd", "-o", str(tool)], check=True)
    estimate, per_thread = subprocess.run([str(tool), str(level), str(threads)], check=True, capture_output=True,
                                          text=True).stdout.split()
    stream = int(estimate) * (1 if per_thread == "1" else threads)
    target = 2 * stream + PACKER_ALLOWANCE
    return stream, min(target, PACKER_BUDGET) if level <= DEFAULT_LEVEL else target


def packer_memory_row(title, content_bytes, level, threads, seconds, peak):
    stream, target = packer_memory_target(level, threads)
    target_text = "2 x %.1f + 64 = %.1f MiB" % (stream / MIB, (2 * stream + PACKER_ALLOWANCE) / MIB)
    if target < 2 * stream + PACKER_ALLOWANCE:
        target_text += ", budget %.0f MiB" % (target / MIB)
    return "| %s | %.1f | %d | %d | %.1f | %.1f MiB | %s | %.2f | %s |" % (
        title, content_bytes / 1e6, level, threads, seconds, peak / MIB, target_text, peak / target,
        verdict(peak / target, 1.0))

PACKER_MEMORY_HEADER = [
    "| corpus | MB in | level | threads | pack s | packer peak RSS | target: 2 x stream estimate + 64 MiB, "
    "or the budget if lower | peak / target | met |",
    "|---|---|---|---|---|---|---|---|---|"]


def huge_corpus_rows(app, scratch, additions=(), at_default_level=False):
    """The mixed-file corpora, made, packed and removed again (never kept): (c) 1 GB at HUGE_CORPUS_LEVEL,
    and with at_default_level (d) 200 MB and (e) 1 GB at the default level too."""
    packings = {}
    for megabytes in DEFAULT_LEVEL_CORPUS_MEGABYTES if at_default_level else (HUGE_CORPUS_MEGABYTES,):
        directory = WORK / ("corpus-mixed-%d" % megabytes)
        shutil.rmtree(directory, ignore_errors=True)
        try:
            log("generating the %d MB corpus (removed after packing)" % megabytes)
            subprocess.run([sys.executable, str(ROOT / "bench" / "make_tree.py"), str(directory), "--large",
                            "--megabytes", str(megabytes), "--seed", "3"], check=True)
            _, content = tree_size(directory)
            output = scratch / "huge.exe"
            levels = [HUGE_CORPUS_LEVEL] if megabytes == HUGE_CORPUS_MEGABYTES else []
            if at_default_level:
                levels.append(DEFAULT_LEVEL)
            for level in levels:
                log("packing it at level %d" % level)
                packings[megabytes, level] = (content, *pack(output, app, [*additions, str(directory) + "=."],
                                                             level=level))
                output.unlink()
        finally:
            shutil.rmtree(directory, ignore_errors=True)
    rows = []
    for letter, (megabytes, level) in zip("cde", sorted(packings, key=lambda key: (key[1], key[0]))):
        content, seconds, peak = packings[megabytes, level]
        size = "1 GB" if megabytes == HUGE_CORPUS_MEGABYTES else "%d MB" % megabytes
        rows.append(packer_memory_row("(%s) %s of mixed files" % (letter, size), content, level, os.cpu_count(),
                                      seconds, peak))
    return rows


def packer_memory_only(scratch):
    """`--packer-memory`: the rows below alone, printed and written to PACKER_MEMORY_RESULTS, which the
    full report takes in; nothing else is run."""
    app = DIST / "sample_app.dll"
    helper = str(DIST / "sample_helper.dll")  # the DLL it imports, so that packing warns of nothing
    rows = list(PACKER_MEMORY_HEADER)
    for name, title, arguments in (("corpus-tree", "(a) application tree", []),
                                   ("corpus-large", "(b) large files", ["--large", "--megabytes", "100"])):
        directory = make_corpus(name, *arguments)
        log("packing %s" % title)
        seconds, peak = pack(scratch / "packed.exe", app, [helper, str(directory) + "=."])
        rows.append(packer_memory_row(title, tree_size(directory)[1], DEFAULT_LEVEL, os.cpu_count(), seconds, peak))
    rows.extend(huge_corpus_rows(app, scratch, [helper], at_default_level=True))
    print("\n".join(rows))
    PACKER_MEMORY_RESULTS.write_text("\n".join([
        "## The packer's peak memory at the default level (`bench/run_bench.py --packer-memory`)", "",
        "Packed at level %d on %d hardware threads (%s); these rows take up to an hour, so `make bench` keeps"
        % (DEFAULT_LEVEL, os.cpu_count(), time.strftime("%Y-%m-%d")),
        "the last run's instead of measuring them again.", "", *rows]) + "\n")
