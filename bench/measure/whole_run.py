"""A whole run of the launcher against its floors, each repetition on each
corpus; the lock and sweep against a launcher without them; the modules each
instance loads and an empty program's memory."""
import shutil
import statistics
import subprocess
import sys

from .cached import measure_cached, measure_flush
from .closing import measure_closing
from .common import (
    EMPTY_IMPORTER, FLUSH_ROW, ROOT, TARGET_CACHED_FLUSH, GUARD_OWN_ROUNDS, GUARD_OWN_ROW, GUARD_ROW, LEFTOVER_PID, LEFTOVER_TIME, LEFTOVERS,
    LEFTOVERS_ROW, PREFIX, TARGET_SAMPLE_TWO_STARTS, TWO_STARTS_ROW, TARGET_CACHED_CHECK,
    TARGET_CACHED_FIRST, TARGET_CACHED_LATER_SAMPLE, TARGET_CACHED_LATER_SAMPLE_PINNED,
    TARGET_CACHED_LATER_TREE, TARGET_LEFTOVER_GUARD,
    TARGET_SAMPLE_RUN, TARGET_TO_RUN_CODE, TARGET_WHOLE_RUN, WINE, WINE_RUN, WORK, fields, interleaved_pairs,
    log, windows_path)
from .wine import guarded_run
sys.path.insert(0, str(ROOT / "scripts"))
from loaded_modules import modules_by_process, system_modules, trace_env  # noqa: E402


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


def measure_sample_floor(wine, programs, corpus, first):
    """A/B pairs of the whole run (A) and its floors run back to back, so that
    one noisy start weighs on one pair, not on every ratio: [(whole s,
    (relaunch floor s, two empty starts s))]. The sample's unpack and removal
    take a millisecond, so the relaunch floor (two starts, the DLL's load and
    run_code) is its whole floor."""
    def floors():
        relaunch, _ = wine.run([programs["floor_relaunch"], corpus["dll"], *corpus["arguments"]])
        return relaunch, wine.run([programs["floor_empty"]])[0] + wine.run([programs["floor_empty"]])[0]

    return interleaved_pairs(corpus["floor_pairs"], first, lambda: guarded_run(wine, corpus)[0], floors)


def plant_leftovers(wine, source):
    """LEFTOVERS directories in Temp as a killed run leaves them: the
    application's files and the lock, named for a process that has ended."""
    for index in range(LEFTOVERS):
        directory = wine.temp / ("onefile_%d_%d" % (LEFTOVER_PID + index, LEFTOVER_TIME))
        shutil.copytree(source, directory)
        (directory / "vorbel.lck").touch()


def measure_with_leftovers(wine, corpus, first):
    """A/B pairs of whole runs with LEFTOVERS to sweep in Temp: the launcher
    (A), which removes them while the application runs or in the time it has
    after, and the launcher without lock and sweep, which leaves them. Each run
    finds them planted afresh; [(with lock and sweep s, without s)]."""
    def run(packed):
        plant_leftovers(wine, corpus["leftover_source"])
        seconds, _ = wine.run([packed, *corpus["arguments"]])
        for left in wine.temp.iterdir():
            shutil.rmtree(left)
        return seconds

    return interleaved_pairs(corpus["leftover_pairs"], first, lambda: run(corpus["packed"]),
                             lambda: run(corpus["unguarded"]))


def measure_corpus(wine, programs, corpus, samples, guard_only=False):
    """One repetition on one corpus: the launcher's run, then its floors."""
    packed = windows_path(corpus["packed"])
    out_dir = wine.windows_temp + "\\floor_out"
    sample = {"pinned": wine.pinned}
    if "unguarded" in corpus:
        sample["guard"], output = measure_guard(wine, corpus, len(samples))
        sample["whole"] = sample["guard"][0][0]
        _, own = wine.run([programs["bench_leftover_guard"], str(GUARD_OWN_ROUNDS)])
        own = fields(own)
        sample["guard_own"] = float(own["guarded_s"]) - float(own["unguarded_s"])
    else:
        sample["whole"], output = guarded_run(wine, corpus)
    if "leftover_pairs" in corpus:
        sample["leftovers"] = measure_with_leftovers(wine, corpus, len(samples))
    if guard_only:
        samples.append(sample)
        return
    if "floor_pairs" in corpus:
        sample["floor_pairs"] = measure_sample_floor(wine, programs, corpus, len(samples))
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
        measure_cached(wine, programs, corpus, sample, len(samples))
    if "flush_cached" in corpus and not wine.pinned:
        sample["flush"] = measure_flush(wine, corpus, len(samples))
    samples.append(sample)


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


def whole_floor(sample):
    """Unpack and removal net of their own process start, plus the relaunch
    floor, which pays the two starts and the DLL load the launcher pays."""
    return (sample["unpack_floor"] - sample["start"]) + (sample["removal_floor_wall"] - sample["start"]) + \
        sample["relaunch_floor"]


def pair_row(phase, samples, key, target, floor=lambda b: b):
    """A row of A/B pairs gathered over the repetitions: (phase, ours, floor,
    the ratio within each pair, target); floor picks the pair's floor."""
    pairs = [pair for s in samples for pair in s[key]]
    return (phase, [a for a, _ in pairs], [floor(b) for _, b in pairs], [a / floor(b) for a, b in pairs], target)


def phase_rows(samples, sample_app):
    """(phase, ours, floor, ratios, target) for one corpus in one set-up."""
    rows = []
    whole_target = TARGET_SAMPLE_RUN if sample_app else TARGET_WHOLE_RUN
    measured_floors = "unpack_floor" in samples[0]  # not with --guard-only
    if measured_floors and "floor_pairs" in samples[0]:
        rows.append(pair_row("whole run", samples, "floor_pairs", whole_target, lambda b: b[0]))
        rows.append(pair_row(TWO_STARTS_ROW, samples, "floor_pairs",
                             TARGET_SAMPLE_TWO_STARTS if samples[0]["pinned"] else None, lambda b: b[1]))
    elif measured_floors:
        rows.append(("whole run", [s["whole"] for s in samples], [whole_floor(s) for s in samples],
                     [s["whole"] / whole_floor(s) for s in samples], whole_target))
    if "guard" in samples[0]:
        # No target: with identical code its median moves by 2 to 4 per cent
        # from one bench to the next, the spread of the whole runs themselves.
        rows.append(pair_row(GUARD_ROW, samples, "guard", None))
        unguarded = [statistics.median(b for _, b in s["guard"]) for s in samples]
        rows.append((GUARD_OWN_ROW, [u + s["guard_own"] for u, s in zip(unguarded, samples)], unguarded,
                     [1 + s["guard_own"] / u for u, s in zip(unguarded, samples)], TARGET_LEFTOVER_GUARD))
    if "leftovers" in samples[0]:
        rows.append(pair_row(LEFTOVERS_ROW, samples, "leftovers", None))
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
        rows.append(pair_row("cached: later start", samples, "cached_later",
                             TARGET_CACHED_LATER_TREE if not sample_app else
                             TARGET_CACHED_LATER_SAMPLE_PINNED if samples[0]["pinned"] else TARGET_CACHED_LATER_SAMPLE))
        rows.append(("cached: bundle check, in process", [s["bundle_check"] for s in samples],
                     [s["bundle_listing"] for s in samples],
                     [s["bundle_check"] / s["bundle_listing"] for s in samples], TARGET_CACHED_CHECK))
    if "flush" in samples[0]:
        rows.append(pair_row(FLUSH_ROW, samples, "flush", TARGET_CACHED_FLUSH))
    return rows
