"""A cached start while the old version's bundle is being removed, against
the steady later start of the same version, in A/B pairs."""
import os
import shutil
import statistics
import subprocess
import sys
import time

from .common import PREFIX, WINE, WINE_RUN, fmt_spread, interleaved_pairs, log, timed, verdict, windows_path
from .corpora import pack

# A start while a bundle of tree (a) (3,233 files) is being removed, against
# the steady later start.
TARGET_START_DURING_REMOVAL = 1.2


def measure_start_during_removal(wine, programs, scratch, tree, pairs):
    """A/B pairs of later starts of a new version of the benchmark's
    application (whose run_code returns at once) with tree (a), packed with
    --cache, as the tree's cached rows are: (A) while the old version's bundle is
    being removed, (B) the steady later start with nothing to remove.
    [(during s, steady s)]. The old bundle is put back from a copy before each
    A (starting the old version would remove the new one's), and each A is
    followed by waiting until it is gone, so that no sweeper runs beside
    another measured start."""
    root = scratch / "local-removal"
    versions = {}
    for name in ("old", "new"):
        folder = scratch / ("removal-" + name)
        folder.mkdir(exist_ok=True)
        (folder / "version.txt").write_text(name)
        versions[name] = folder / "app.exe"
        log("packing the %s version of tree (a) with --cache" % name)
        # Level 3: the row measures starts, and level 19 would take minutes to pack.
        pack(versions[name], programs["bench_app"], [str(tree) + "=.", str(folder / "version.txt")], level=3,
             options=["--cache", "--cache-dir", windows_path(root)])
    shutil.rmtree(root, ignore_errors=True)
    wine.start_server(False)
    output = scratch / "removal-output.txt"

    def start(version):
        """Wall seconds of one start. Its streams go to a file, not a pipe: a
        process Wine starts keeps its creator's Unix standard error for Wine's
        own messages, so a pipe there would stay open for as long as the
        sweeper runs (on Windows the sweeper holds no handle of the start's)."""
        command = [str(WINE_RUN), str(PREFIX), WINE, str(versions[version])]
        with open(output, "w") as streams:
            seconds, completed = timed(command, env=wine.env, stdout=streams, stderr=subprocess.STDOUT)
        if completed.returncode != 0:
            sys.exit("bench: %s exited with %d\n%s" % (" ".join(command), completed.returncode, output.read_text()))
        return seconds

    start("old")
    old_bundles = list((root / "app").iterdir())
    if len(old_bundles) != 1:
        sys.exit("bench: the old version left %s" % old_bundles)
    old_bundle = old_bundles[0]
    # Used too long ago to be among the bundles a start keeps (the lock's
    # last-write time is the time of its last use); the copy keeps the time.
    long_ago = time.time() - 60 * 24 * 3600
    os.utime(old_bundle / "vorbel.lck", (long_ago, long_ago))
    kept = scratch / "removal-old-bundle"
    shutil.copytree(old_bundle, kept, symlinks=True)

    def wait_until_removed():
        for _ in range(2400):  # 120 s
            if not old_bundle.exists():
                time.sleep(0.2)  # the sweeper's own end
                return
            time.sleep(0.05)
        sys.exit("bench: %s was not removed" % old_bundle)

    start("new")  # its first start, which removes the old bundle as well
    wait_until_removed()

    def during():
        shutil.copytree(kept, old_bundle, symlinks=True)
        seconds = start("new")
        if not old_bundle.exists():
            sys.exit("bench: the old bundle was gone when the start ended: nothing was measured during its removal")
        wait_until_removed()
        return seconds

    measured = interleaved_pairs(pairs, 0, during, lambda: start("new"))
    shutil.rmtree(kept, ignore_errors=True)
    shutil.rmtree(root, ignore_errors=True)
    return measured


def removal_line(pairs):
    """The row: medians and spread of the A/B pairs, against the target."""
    ratios = [a / b for a, b in pairs]
    return ("A cached later start while the old version's bundle of tree (a) is being removed, against the steady "
            "later start: %d A/B pairs under Wine as is, during %s s, steady %s s, during / steady %s "
            "(target <= %.1f: %s)." % (len(pairs), fmt_spread([a for a, _ in pairs]), fmt_spread([b for _, b in pairs]),
                                       fmt_spread(ratios, "%.2f"), TARGET_START_DURING_REMOVAL,
                                       verdict(statistics.median(ratios), TARGET_START_DURING_REMOVAL)))
