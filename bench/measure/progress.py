"""A large first start with and without --progress-window, in A/B pairs."""
import os

from .common import DIST, fmt_spread, interleaved_pairs, log
from .corpora import make_corpus, pack
from .wine import guarded_run


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
