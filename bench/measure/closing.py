"""Closing unpacked files: the bench build of the launcher with each close
delayed, serial and pooled, against the unpack floor."""
import shutil
import statistics
import sys

from .common import (
    TARGET_POOLED_NO_DELAY, TARGET_POOLED_SLOW_CLOSE, TARGET_SLOW_CLOSE_MS, fields, fmt_spread,
    interleaved_pairs, verdict, windows_path)


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
