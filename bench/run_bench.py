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

Needs `make` first (the Makefile's bench target does it) and the benchmark
programs (`cmake --build --preset windows --target bench_programs`, done here).
Writes below build/bench and a scratch directory on tmpfs (removed at the end).
"""
import argparse
import glob
import hashlib
import os
import re
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "scripts"))
from loaded_modules import modules_by_process, system_modules, trace_env  # noqa: E402

WORK = ROOT / "build" / "bench"
PREFIX = WORK / "wine-prefix"
STRESS_RESULTS = ROOT / "bench" / "stress-results.md"  # written by bench/stress_console.py
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
GUARD_ROW = "whole run, against no lock and sweep"
GUARD_OWN_ROW = "whole run with the lock and sweep's own calls timed in process"
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
# whatever the input's size. With one worker, level 19 packs the 1 GB in
# about 20 minutes on these machines.
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


# ---------------------------------------------------------------- preparation

def build_programs():
    subprocess.run(["cmake", "--build", "--preset", "windows", "--target", "bench_programs", "-j2"], cwd=ROOT,
                   check=True, stdout=subprocess.DEVNULL)
    return {name: WINDOWS_BUILD / "bench" / (name + (".dll" if name == "bench_app" else ".exe"))
            for name in ["bench_app", "bench_cleanup", "bench_bundle_check", "bench_leftover_guard",
                         "floor_empty", "floor_relaunch", "floor_remove", "floor_unpack", "floor_cached",
                         "launcher_without_leftover_guard", "launcher_bench"]}


def make_corpus(name, *arguments):
    """A corpus of make_tree.py, made once: the same arguments give the same bytes."""
    directory = WORK / name
    done = WORK / (name + ".complete")  # beside the corpus, so that it is not packed
    if done.exists():
        return directory
    shutil.rmtree(directory, ignore_errors=True)
    log("generating %s (once; kept in %s)" % (name, directory))
    subprocess.run([sys.executable, str(ROOT / "bench" / "make_tree.py"), str(directory), *arguments], check=True)
    done.touch()
    return directory


def tree_size(directory):
    files = [p for p in Path(directory).rglob("*") if p.is_file()]
    return len(files), sum(p.stat().st_size for p in files)


def timed(command, **options):
    started = time.perf_counter()
    completed = subprocess.run(command, **options)
    return time.perf_counter() - started, completed


def pack(output, app, additions, launcher=DIST / "launcher.exe", level=DEFAULT_LEVEL, threads=None, options=()):
    """Wall seconds and peak resident bytes (GNU time's %M) of one `vorbel-pack build`."""
    command = [str(DIST / "vorbel-pack"), "build", "--launcher", str(launcher), "--app", str(app),
               "--level", str(level), "--threads", str(threads or os.cpu_count()), *options]
    for addition in additions:
        command += ["--add", addition]
    peak_file = WORK / "pack-peak.txt"
    seconds, _ = timed(["/usr/bin/time", "-f", "%M", "-o", str(peak_file)] + command + ["-o", str(output)],
                       check=True, stdout=subprocess.DEVNULL)
    return seconds, int(peak_file.read_text().split()[-1]) * 1024


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


def huge_corpus_rows(app, scratch, additions=()):
    """The mixed-file corpora, made, packed and removed again (never kept): (c) 1 GB at HUGE_CORPUS_LEVEL,
    then at the default level (d) 200 MB and (e) 1 GB."""
    packings = {}
    for megabytes in DEFAULT_LEVEL_CORPUS_MEGABYTES:
        directory = WORK / ("corpus-mixed-%d" % megabytes)
        shutil.rmtree(directory, ignore_errors=True)
        try:
            log("generating the %d MB corpus (removed after packing)" % megabytes)
            subprocess.run([sys.executable, str(ROOT / "bench" / "make_tree.py"), str(directory), "--large",
                            "--megabytes", str(megabytes), "--seed", "3"], check=True)
            _, content = tree_size(directory)
            output = scratch / "huge.exe"
            for level in (HUGE_CORPUS_LEVEL, DEFAULT_LEVEL) if megabytes == HUGE_CORPUS_MEGABYTES else (DEFAULT_LEVEL,):
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
    """`--packer-memory`: the rows below alone, printed; nothing else is run or written."""
    app = DIST / "sample_app.dll"
    helper = str(DIST / "sample_helper.dll")  # the DLL it imports, so that packing warns of nothing
    rows = list(PACKER_MEMORY_HEADER)
    for name, title, arguments in (("corpus-tree", "(a) application tree", []),
                                   ("corpus-large", "(b) large files", ["--large", "--megabytes", "100"])):
        directory = make_corpus(name, *arguments)
        log("packing %s" % title)
        seconds, peak = pack(scratch / "packed.exe", app, [helper, str(directory) + "=."])
        rows.append(packer_memory_row(title, tree_size(directory)[1], DEFAULT_LEVEL, os.cpu_count(), seconds, peak))
    rows.extend(huge_corpus_rows(app, scratch, [helper]))
    print("\n".join(rows))


def payload_facts(packed):
    """Compressed frame bytes and declared window, as `vorbel-pack verify` reports them."""
    text = subprocess.run([str(DIST / "vorbel-pack"), "verify", str(packed)], check=True, capture_output=True,
                          text=True).stdout
    match = re.search(r"bytes in ([0-9]+) compressed; window ([0-9.]+) ([KM]iB)", text)
    if not match:
        sys.exit("bench: unexpected verify output: " + text)
    window = float(match.group(2)) * (MIB if match.group(3) == "MiB" else 1024)
    return int(match.group(1)), window


def payload_resource(packed, output):
    """The packed program's payload resource ("VUQ" and the frame), as it is stored."""
    with open(output, "wb") as out:
        subprocess.run(["wrestool", "-x", "--raw", "--type=10", "--name=27", str(packed)], check=True, stdout=out)
    data = output.read_bytes()
    if not data.startswith(b"VUQ"):
        sys.exit("bench: no payload resource in " + str(packed))
    return data


def embed_in_bench_launcher(programs, packed, output, scratch):
    """The same payload, byte for byte, in the bench build of the launcher."""
    resource = scratch / "payload.vuq"
    payload_resource(packed, resource)
    subprocess.run([str(DIST / "vorbel-pack"), "embed", "--launcher", str(programs["launcher_bench"]), "--payload",
                    str(resource), "-o", str(output)], check=True, stdout=subprocess.DEVNULL)
    resource.unlink()


def compare_with_zstd(packed, scratch, runs):
    """The build tool against the zstd CLI on the same stream, same level and threads."""
    frame = scratch / "frame.zst"
    stream = scratch / "stream.bin"
    frame.write_bytes(payload_resource(packed, frame)[3:])
    subprocess.run(["zstd", "-q", "-d", "-f", str(frame), "-o", str(stream)], check=True)
    threads = os.cpu_count() or 1
    seconds = []
    for _ in range(runs):
        elapsed, _ = timed(["zstd", "-q", "-f", "-19", "-T%d" % threads, str(stream), "-o", str(scratch / "cli.zst")],
                           check=True)
        seconds.append(elapsed)
    size = (scratch / "cli.zst").stat().st_size
    for path in (frame, stream, scratch / "cli.zst"):
        path.unlink()
    return seconds, size


# ---------------------------------------------------------------- Wine

class Wine:
    """The benchmark's own prefix, its Temp on tmpfs, and a Wine server run
    as the set-up asks (pinned: the server and every program on CPU 0)."""

    def __init__(self, scratch):
        self.env = dict(os.environ, WINEPREFIX=str(PREFIX), WINEDEBUG="-all")
        subprocess.run([str(WINE_RUN), str(PREFIX), WINE, "--init"], check=True)
        users = [p for p in glob.glob(str(PREFIX / "drive_c" / "users" / "*")) if not p.endswith("/Public")]
        if len(users) != 1:
            sys.exit("bench: expected one user folder in the prefix, found %s" % users)
        self.user_temp = Path(users[0]) / "Temp"
        self.temp = scratch / "temp"
        self.temp.mkdir()
        # File creation and removal on a disk slow down for minutes after mass
        # deletes; on tmpfs they stay steady from run to run.
        if self.user_temp.is_symlink() or self.user_temp.is_file():
            self.user_temp.unlink()
        elif self.user_temp.exists():
            shutil.rmtree(self.user_temp)
        self.user_temp.symlink_to(self.temp)
        self.windows_temp = "C:\\users\\%s\\Temp" % Path(users[0]).name
        self.pinned = False

    def start_server(self, pinned):
        self.stop_server()
        self.pinned = pinned
        subprocess.run((PIN if pinned else []) + [WINESERVER, "-p"], env=self.env, check=True)
        self.run(["--init"])

    def stop_server(self):
        subprocess.run([WINESERVER, "-k"], env=self.env, stderr=subprocess.DEVNULL)
        subprocess.run([WINESERVER, "-w"], env=self.env)

    def run(self, arguments, expect=0, extra_env=None):
        """Wall seconds and standard output of one program under Wine."""
        command = (PIN if self.pinned else []) + [str(WINE_RUN), str(PREFIX), WINE, *[str(a) for a in arguments]]
        seconds, completed = timed(command, env=dict(self.env, **(extra_env or {})), capture_output=True, text=True)
        if expect is not None and completed.returncode != expect:
            sys.exit("bench: %s exited with %d\n%s%s" % (" ".join(command), completed.returncode, completed.stdout,
                                                         completed.stderr))
        return seconds, completed.stdout

    def left_in_temp(self):
        return sorted(p.name for p in self.temp.iterdir())


# ---------------------------------------------------------------- measuring

def guarded_run(wine, corpus):
    """One whole run of the corpus's packed launcher, which must leave Temp empty."""
    wall, output = wine.run([corpus["packed"], *corpus["arguments"]])
    left = wine.left_in_temp()
    if left:
        sys.exit("bench: the launcher left %s in Temp" % left)
    return wall, output


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


def measure_guard(wine, corpus, first):
    """A/B pairs of the launcher (A) and the launcher without lock and sweep:
    [(guarded s, unguarded s)] and the first guarded run's output."""
    outputs = []

    def guarded():
        seconds, output = guarded_run(wine, corpus)
        outputs.append(output)
        return seconds

    pairs = interleaved_pairs(corpus["guard_pairs"], first, guarded,
                              lambda: wine.run([corpus["unguarded"], *corpus["arguments"]])[0])
    return pairs, outputs[0]


PROGRESS_MEGABYTES = 200


def measure_progress_option(wine, scratch, pairs):
    """A/B pairs of whole first starts of the sample application with
    PROGRESS_MEGABYTES of large files, packed with and without
    --progress-window: [(with s, without s)]. The window shows only where
    Wine has a display (DISPLAY set, as under xvfb-run); without one the
    pairs measure the unpack's calls into the progress and a window that
    cannot be made."""
    corpus = make_corpus("corpus-progress", "--large", "--megabytes", str(PROGRESS_MEGABYTES))
    additions = [str(DIST / "sample_helper.dll"), str(corpus) + "=."]
    packed = {}
    for name, options in (("with", ["--progress-window"]), ("without", [])):
        packed[name] = scratch / ("progress-%s.exe" % name)
        log("packing %d MB %s --progress-window" % (PROGRESS_MEGABYTES, name))
        # Level 3: the option's cost lies in the unpack, and level 19 would take minutes to pack.
        pack(packed[name], DIST / "sample_app.dll", additions, level=3, options=options)

    def start(name):
        return guarded_run(wine, {"packed": packed[name], "arguments": ["--exit", "0"]})[0]

    wine.start_server(False)
    return interleaved_pairs(pairs, 0, lambda: start("with"), lambda: start("without"))


def progress_lines(pairs):
    """The progress option's table: medians and spread of the A/B pairs."""
    display = "on a display (%s)" % os.environ["DISPLAY"] if os.environ.get("DISPLAY") else "without a display"
    return ["## A %d MB first start with `--progress-window`" % PROGRESS_MEGABYTES, "",
            "%d A/B pairs under Wine, %s, as is; whole runs (s) and the ratio within each pair." % (
                len(pairs), display), "",
            "| with the option | without | with / without |", "| --- | --- | --- |",
            "| %s | %s | %s |" % (fmt_spread([a for a, _ in pairs]), fmt_spread([b for _, b in pairs]),
                                 fmt_spread([a / b for a, b in pairs], "%.2f"))]


def measure_corpus(wine, programs, corpus, samples, guard_only=False):
    """One repetition on one corpus: the launcher's run, then its floors."""
    packed = windows_path(corpus["packed"])
    out_dir = wine.windows_temp + "\\floor_out"
    sample = {}
    if "unguarded" in corpus:
        sample["guard"], output = measure_guard(wine, corpus, len(samples))
        sample["whole"] = sample["guard"][0][0]
        _, own = wine.run([programs["bench_leftover_guard"], str(GUARD_OWN_ROUNDS)])
        own = fields(own)
        sample["guard_own"] = float(own["guarded_s"]) - float(own["unguarded_s"])
    else:
        sample["whole"], output = guarded_run(wine, corpus)
    if guard_only:
        samples.append(sample)
        return
    report = fields(output)
    if "to_run_code_s" in report:
        sample["to_run_code"] = float(report["to_run_code_s"])
        sample["peak"] = float(report["parent_peak_bytes"])
    # Unpack floor twice: once for each removal to measure.
    sample["unpack_floor"], _ = wine.run([programs["floor_unpack"], packed, out_dir])
    _, output = wine.run([programs["bench_cleanup"], out_dir])
    sample["removal"] = float(fields(output)["remove_s"])
    unpack_again, _ = wine.run([programs["floor_unpack"], packed, out_dir])
    sample["unpack_floor"] = (sample["unpack_floor"] + unpack_again) / 2
    sample["removal_floor_wall"], output = wine.run([programs["floor_remove"], out_dir])
    sample["removal_floor"] = float(fields(output)["remove_s"])
    sample["relaunch_floor"], _ = wine.run([programs["floor_relaunch"], corpus["dll"], *corpus["arguments"]])
    if "cached" in corpus:
        measure_cached(wine, programs, corpus, sample)
    samples.append(sample)


def measure_cached(wine, programs, corpus, sample):
    """The cached mode in one repetition: a first start into an empty cache,
    a later start, the later start's floor, and the bundle check alone."""
    root = wine.temp.parent / "local"  # the root the cached programs were packed with
    shutil.rmtree(root, ignore_errors=True)
    root.mkdir()
    sample["cached_first"], _ = wine.run([corpus["cached"], *corpus["arguments"]])
    sample["cached_later"], _ = wine.run([corpus["cached"], *corpus["arguments"]])
    bundles = list((root / corpus["cached"].stem).iterdir())
    if len(bundles) != 1 or wine.left_in_temp():
        sys.exit("bench: the cached mode left %s and %s in Temp" % (bundles, wine.left_in_temp()))
    bundle = bundles[0]
    listing = "-" if corpus["title"] == "sample application" else windows_path(bundle)
    sample["cached_floor"], _ = wine.run([programs["floor_cached"], listing,
                                          windows_path(bundle / Path(corpus["app"]).name), *corpus["arguments"]])
    _, output = wine.run([programs["bench_bundle_check"], windows_path(bundle), bundle.name])
    sample["bundle_check"] = float(fields(output)["check_s"])
    sample["bundle_listing"] = float(fields(output)["listing_s"])


def bench_launcher_to_run_code(wine, corpus, delay_ms, pooled, threads):
    """Time to run_code of the bench build of the launcher on the corpus."""
    env = {"VORBEL_BENCH_CLOSE_DELAY_MS": str(delay_ms)}
    if not pooled:
        env["VORBEL_BENCH_CLOSING_THREADS"] = "0"
    elif threads is not None:
        env["VORBEL_BENCH_CLOSING_THREADS"] = str(threads)
    _, output = wine.run([corpus["bench_packed"], *corpus["arguments"]], extra_env=env)
    left = wine.left_in_temp()
    if left:
        sys.exit("bench: the bench build of the launcher left %s in Temp" % left)
    return float(fields(output)["to_run_code_s"])


def measure_closing(wine, programs, corpus, repetition, closing):
    """One repetition of the closing rows: the bench build's time to run_code
    with each close delayed, serial and pooled (their order alternating from
    delay to delay and repetition to repetition), against the unpack floor of
    the same payload without delay; then A/B pairs of the two without delay."""
    out_dir = wine.temp / "floor_out"

    def unpack_floor():
        seconds, _ = wine.run([programs["floor_unpack"], windows_path(corpus["bench_packed"]),
                               wine.windows_temp + "\\floor_out"])
        shutil.rmtree(out_dir)
        return seconds

    sample = {"serial": {}, "pooled": {}, "ab": []}
    if closing["delays"]:
        sample["floor"] = unpack_floor()
    for index, delay in enumerate(closing["delays"]):
        for pooled in ((False, True) if (repetition + index) % 2 == 0 else (True, False)):
            sample["pooled" if pooled else "serial"][delay] = bench_launcher_to_run_code(
                wine, corpus, delay, pooled, closing["threads"])
    pairs = interleaved_pairs(closing["ab_pairs"], repetition,
                              lambda: bench_launcher_to_run_code(wine, corpus, 0, False, closing["threads"]),
                              lambda: bench_launcher_to_run_code(wine, corpus, 0, True, closing["threads"]))
    sample["ab"] = [pooled / serial for serial, pooled in pairs]
    if closing["delays"]:
        sample["floor"] = (sample["floor"] + unpack_floor()) / 2
    return sample


def run_setup(wine, programs, corpora, runs, pinned, closing):
    """Every corpus, then the closing rows on closing["corpus"], in each repetition."""
    wine.start_server(pinned)
    wine.run([programs["floor_empty"]])  # the first start after the server's pays for loading it
    results = {name: [] for name in corpora}
    results["closing"] = []
    starts = []
    for repetition in range(runs):
        log("  %s: repetition %d of %d" % ("pinned" if pinned else "as is", repetition + 1, runs))
        starts.append(wine.run([programs["floor_empty"]])[0])
        for name, corpus in corpora.items():
            if closing["only"]:
                break
            measure_corpus(wine, programs, corpus, results[name], closing["guard_only"])
            results[name][-1]["start"] = starts[-1]
        if not closing["guard_only"] and (closing["delays"] or closing["ab_pairs"]):
            results["closing"].append(measure_closing(wine, programs, corpora[closing["corpus"]], repetition, closing))
    wine.stop_server()
    return results


def module_counts(wine, corpus):
    """[(instance, modules, of them the application's)] of a normal run of the
    corpus under Wine's loader trace, and the count of an empty program that
    imports what the launcher imports."""
    wine.start_server(False)
    env = trace_env(wine.env, str(PREFIX))
    status, instances = modules_by_process(WINE, str(corpus["packed"]), corpus["arguments"], env)
    if status != 0 or len(instances) != 2:
        sys.exit("bench: the traced run ended with status %d in %d instances" % (status, len(instances)))
    _, empty = modules_by_process(WINE, str(EMPTY_IMPORTER), [], env)
    wine.stop_server()
    if len(empty) != 1:
        sys.exit("bench: expected one process of the empty program, found %d" % len(empty))
    rows = [(role, len(modules), len(modules) - len(system_modules(modules)))
            for role, modules in zip(("extracting", "re-launched"), instances.values())]
    return rows, len(next(iter(empty.values())))


def empty_program_peak(wine, programs):
    """Peak resident memory of a process that does nothing: what Wine costs."""
    wine.start_server(False)
    report = WORK / "empty-peak.txt"
    command = ["/usr/bin/time", "-f", "%M", "-o", str(report), str(WINE_RUN), str(PREFIX), WINE,
               str(programs["floor_empty"])]
    subprocess.run(command, env=wine.env, check=True)
    wine.stop_server()
    return int(report.read_text().split()[-1]) * 1024


# ---------------------------------------------------------------- figures

def summary(values):
    """(median, low, high)."""
    return statistics.median(values), min(values), max(values)


def whole_floor(sample):
    """Unpack and removal net of their own process start, plus the relaunch
    floor, which pays the two starts and the DLL load the launcher pays."""
    return (sample["unpack_floor"] - sample["start"]) + (sample["removal_floor_wall"] - sample["start"]) + \
        sample["relaunch_floor"]


def phase_rows(samples, sample_app):
    """(phase, ours, floor, ratios, target) for one corpus in one set-up."""
    rows = []
    whole_target = TARGET_SAMPLE_RUN if sample_app else TARGET_WHOLE_RUN
    measured_floors = "unpack_floor" in samples[0]  # not with --guard-only
    if measured_floors:
        rows.append(("whole run", [s["whole"] for s in samples], [whole_floor(s) for s in samples],
                     [s["whole"] / whole_floor(s) for s in samples], whole_target))
    if "guard" in samples[0]:
        pairs = [pair for s in samples for pair in s["guard"]]
        # No target: with identical code its median moves by 2 to 4 per cent
        # from one bench to the next, the spread of the whole runs themselves.
        rows.append((GUARD_ROW, [a for a, _ in pairs], [b for _, b in pairs], [a / b for a, b in pairs], None))
        unguarded = [statistics.median(b for _, b in s["guard"]) for s in samples]
        rows.append((GUARD_OWN_ROW, [u + s["guard_own"] for u, s in zip(unguarded, samples)], unguarded,
                     [1 + s["guard_own"] / u for u, s in zip(unguarded, samples)], TARGET_LEFTOVER_GUARD))
    if not measured_floors:
        return rows
    if "to_run_code" in samples[0]:
        rows.append(("to run_code", [s["to_run_code"] for s in samples], [s["unpack_floor"] for s in samples],
                     [s["to_run_code"] / s["unpack_floor"] for s in samples], TARGET_TO_RUN_CODE))
    rows.append(("removal, in process", [s["removal"] for s in samples], [s["removal_floor"] for s in samples],
                 [s["removal"] / s["removal_floor"] for s in samples], None))
    if "cached_first" in samples[0]:
        without_removal = [s["whole"] - s["removal"] for s in samples]
        rows.append(("cached: first start", [s["cached_first"] for s in samples], without_removal,
                     [s["cached_first"] / f for s, f in zip(samples, without_removal)], TARGET_CACHED_FIRST))
        rows.append(("cached: later start", [s["cached_later"] for s in samples], [s["cached_floor"] for s in samples],
                     [s["cached_later"] / s["cached_floor"] for s in samples],
                     TARGET_CACHED_LATER_SAMPLE if sample_app else TARGET_CACHED_LATER_TREE))
        rows.append(("cached: bundle check, in process", [s["bundle_check"] for s in samples],
                     [s["bundle_listing"] for s in samples],
                     [s["bundle_check"] / s["bundle_listing"] for s in samples], TARGET_CACHED_CHECK))
    return rows


def fmt_spread(values, unit_format="%.3f"):
    median, low, high = summary(values)
    return (unit_format + " (" + unit_format + "-" + unit_format + ")") % (median, low, high)


def verdict(ratio, target):
    if target is None:
        return ""
    return "yes" if ratio <= target else "**no**"


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


def closing_lines(corpora, setups, facts, closing):
    """The closing rows and the module counts (bench/results.md explains them)."""
    lines = []
    add = lines.append
    title = corpora[closing["corpus"]]["title"]
    threads = "up to %d" % closing["threads"] if closing["threads"] is not None else "as shipped"
    for setup_name, results in setups.items():
        samples = results["closing"]
        if not samples or not samples[0]["serial"]:
            continue
        add("")
        add("Closing unpacked files, %s, under Wine %s: time to run_code of the bench build of the launcher with"
            " each close delayed, serial and pooled (closing threads %s), and each / the unpack floor without delay"
            % (title, setup_name, threads))
        add("")
        add("| delay per close | serial s | pooled s | serial / floor | pooled / floor | target | met |")
        add("|---|---|---|---|---|---|---|")
        for delay in sorted(samples[0]["serial"]):
            serial = [s["serial"][delay] for s in samples]
            pooled = [s["pooled"][delay] for s in samples]
            pooled_ratios = [s["pooled"][delay] / s["floor"] for s in samples]
            target = TARGET_POOLED_SLOW_CLOSE if delay == TARGET_SLOW_CLOSE_MS else None
            add("| %d ms | %s | %s | %s | %s | %s | %s |" % (
                delay, fmt_spread(serial), fmt_spread(pooled),
                fmt_spread([s["serial"][delay] / s["floor"] for s in samples], "%.2f"),
                fmt_spread(pooled_ratios, "%.2f"), "pooled <= %.2f" % target if target else "",
                verdict(statistics.median(pooled_ratios), target)))
    add("")
    add("Pooled / serial without delay, interleaved A/B runs of the bench build of the launcher, %s" % title)
    add("")
    add("| set-up | pairs | pooled / serial | target | met |")
    add("|---|---|---|---|---|")
    for setup_name, results in setups.items():
        ratios = [ratio for s in results["closing"] for ratio in s["ab"]]
        if ratios:
            add("| %s | %d | %s | <= %.2f | %s |" % (setup_name, len(ratios), fmt_spread(ratios, "%.3f"),
                                                   TARGET_POOLED_NO_DELAY,
                                                   verdict(statistics.median(ratios), TARGET_POOLED_NO_DELAY)))
    rows, empty = facts["modules"]
    add("")
    add("Modules loaded, a normal run of the %s under Wine's loader trace" % corpora["sample"]["title"])
    add("")
    add("| instance | modules | of them the application's | an empty program | target | met |")
    add("|---|---|---|---|---|---|")
    for role, count, application in rows:
        add("| %s | %d | %d | %d | system modules <= empty | %s |" % (
            role, count, application, empty, "yes" if count - application <= empty else "**no**"))
    return lines


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
    add("unpack + removal, each net of its process start, + relaunch. Time to run_code is the moment the")
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
    add("counted all the same.")
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
        add("| pack time, %s | %s s | zstd CLI %s s | %.3f | <= %.2f | %s |" % (
            corpus["title"], fmt_spread(corpus["pack_seconds"], "%.2f"), fmt_spread(corpus["cli_seconds"], "%.2f"),
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
        " `zstd -19 -T%d` on the" % (os.cpu_count(), os.cpu_count()))
    add("payload's decoded stream (taken from the packed file with wrestool and `zstd -d`). Peak memory: the")
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


def platform_cpu():
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown processor"


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
             "| whole run / no lock and sweep |",
             "|---|---|---|---|---|---|"]
    for setup_name, results in setups.items():
        for name, corpus in corpora.items():
            samples = results[name]
            ratios = {phase: statistics.median(r) for phase, _, _, r, _ in phase_rows(samples, name == "sample")}
            guard = ("%.3f (A/B pairs %.2f)" % (ratios[GUARD_OWN_ROW], ratios[GUARD_ROW])
                     if GUARD_ROW in ratios else "")
            lines.append("| %s | %s | %.2f | %s | %.2f | %s |" % (
                corpus["title"], setup_name, ratios["whole run"],
                "%.2f" % ratios["to run_code"] if "to run_code" in ratios else "",
                ratios["removal, in process"], guard))
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
                cached.append("%s: first start %.2f, later start %.2f, bundle check / listing %.2f" % (
                    corpus["title"], ratios["cached: first start"], ratios["cached: later start"],
                    ratios["cached: bundle check, in process"]))
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


# ---------------------------------------------------------------- main

def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
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
    try:
        if options.progress_only:
            progress_pairs = measure_progress_option(Wine(scratch), scratch, options.progress_pairs)
            print("\n".join(progress_lines(progress_pairs)))
            print("\nbench: %.0f s; wrote nothing" % (time.perf_counter() - started))
            return
        tree = make_corpus("corpus-tree")
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
            packs = [pack(corpus["packed"], corpus["app"], corpus["add"])
                     for _ in range(options.pack_runs if corpus["timed"] and not options.closing_only else 1)]
            seconds = [s for s, _ in packs]
            corpus["pack_peak"] = max(p for _, p in packs)
            if name in ("sample", "tree") and not options.closing_only and not options.guard_only:
                corpus["cached"] = scratch / (name + "-cached.exe")
                # A root of the bench's own: Wine sets LOCALAPPDATA from the prefix for
                # a program started from Linux, whatever the environment says.
                pack(corpus["cached"], corpus["app"], corpus["add"],
                     options=["--cache", "--cache-dir", windows_path(scratch / "local")])
            if name in ("sample", "tree") and not options.cached_only:
                corpus["unguarded"] = scratch / (name + "-unguarded.exe")
                pack(corpus["unguarded"], corpus["app"], corpus["add"], programs["launcher_without_leftover_guard"])
                corpus["guard_pairs"] = options.guard_pairs * (SAMPLE_GUARD_PAIRS_FACTOR if name == "sample" else 1)
            corpus["payload"], corpus["window"] = payload_facts(corpus["packed"])
            if corpus["timed"] and not partial:
                corpus["pack_seconds"] = seconds
                log("zstd CLI on the same stream")
                corpus["cli_seconds"], corpus["cli_bytes"] = compare_with_zstd(corpus["packed"], scratch,
                                                                               options.pack_runs)
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
    finally:
        subprocess.run([WINESERVER, "-k"], env=dict(os.environ, WINEPREFIX=str(PREFIX)), stderr=subprocess.DEVNULL)
        shutil.rmtree(scratch, ignore_errors=True)

    if options.cached_only or options.guard_only:
        wanted = ("cached",) if options.cached_only else (GUARD_ROW, GUARD_OWN_ROW)
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
    # The console stress run takes its own time (make stress); its last figures are kept here.
    if STRESS_RESULTS.exists():
        lines += ["", STRESS_RESULTS.read_text().rstrip("\n")]
    write_plot(corpora, setups, ROOT / "bench" / "results.png")
    (ROOT / "bench" / "results.md").write_text("# Benchmark results\n\n" + "\n".join(lines) + "\n")
    if not options.no_readme:
        update_readme(readme_lines(corpora, setups, facts, closing, progress_pairs))
    print("\n".join(line for line in lines if not line.startswith("![")))
    print("\nbench: %.0f s; wrote bench/results.md, bench/results.png%s" % (
        time.perf_counter() - started, "" if options.no_readme else ", README figures"))


if __name__ == "__main__":
    main()
