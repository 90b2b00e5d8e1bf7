"""The cached mode (--cache): a first start, a later start against its floor,
and the bundle check alone."""
import shutil
import sys
from pathlib import Path

from .common import CACHED_LATER_PAIRS, FLUSH_PAIRS, WORK, fields, interleaved_pairs, windows_path


def measure_cached(wine, programs, corpus, sample, first):
    """The cached mode in one repetition: a first start into an empty cache,
    later starts paired with their floor, and the bundle check alone."""
    root = wine.temp.parent / "local"  # the root the cached programs were packed with
    shutil.rmtree(root, ignore_errors=True)
    root.mkdir()
    sample["cached_first"], _ = wine.run([corpus["cached"], *corpus["arguments"]])
    bundles = list((root / corpus["cached"].stem).iterdir())
    if len(bundles) != 1 or wine.left_in_temp():
        sys.exit("bench: the cached mode left %s and %s in Temp" % (bundles, wine.left_in_temp()))
    bundle = bundles[0]
    listing = "-" if corpus["title"] == "sample application" else windows_path(bundle)
    # A start's time swings by more than the few per cent looked for: each
    # later start is paired with its floor, run next to it.
    sample["cached_later"] = interleaved_pairs(
        CACHED_LATER_PAIRS, first, lambda: wine.run([corpus["cached"], *corpus["arguments"]])[0],
        lambda: wine.run([programs["floor_cached"], listing, windows_path(bundle / Path(corpus["app"]).name),
                          *corpus["arguments"]])[0])
    _, output = wine.run([programs["bench_bundle_check"], windows_path(bundle), bundle.name])
    sample["bundle_check"] = float(fields(output)["check_s"])
    sample["bundle_listing"] = float(fields(output)["listing_s"])


def measure_flush(wine, corpus, first):
    """A/B pairs of first starts that flush every file before the bundle is
    renamed into place (A) and first starts of the same program that do not
    (the bench build of the launcher, VORBEL_BENCH_NO_FLUSH=1), into a root on
    the disk: on tmpfs a flush costs nothing. [(with flush s, without s)]."""
    root = WORK / "flush-root"  # the root corpus["flush_cached"] was packed with

    def first_start(no_flush):
        shutil.rmtree(root, ignore_errors=True)
        root.mkdir()
        seconds, _ = wine.run([corpus["flush_cached"], *corpus["arguments"]],
                              extra_env={"VORBEL_BENCH_NO_FLUSH": "1"} if no_flush else None)
        return seconds

    pairs = interleaved_pairs(FLUSH_PAIRS, first, lambda: first_start(False), lambda: first_start(True))
    shutil.rmtree(root, ignore_errors=True)
    return pairs
