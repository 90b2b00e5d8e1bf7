"""The cached mode (--cache): a first start, a later start against its floor,
and the bundle check alone."""
import shutil
import sys
from pathlib import Path

from .common import fields, windows_path


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
