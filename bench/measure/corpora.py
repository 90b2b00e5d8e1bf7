"""The inputs: the benchmark programs, the corpora of make_tree.py, packing them
with the build tool, the facts of a packed payload, and the zstd CLI on the
same stream."""
import os
import re
import shlex
import shutil
import subprocess
import sys

from .common import DEFAULT_LEVEL, DIST, MIB, ROOT, WINDOWS_BUILD, WORK, log, timed


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


def pack(output, app, additions, launcher=DIST / "launcher.exe", level=DEFAULT_LEVEL, threads=None, options=(),
         on_terminal=False):
    """Wall seconds and peak resident bytes (GNU time's %M) of one `vorbel-pack build`; on_terminal adds the
    compression workers it ran (0: one thread without workers), from the line it prints first on a terminal
    (made by `script`)."""
    command = [str(DIST / "vorbel-pack"), "build", "--launcher", str(launcher), "--app", str(app),
               "--level", str(level), "--threads", str(threads or os.cpu_count()), *options]
    for addition in additions:
        command += ["--add", addition]
    peak_file = WORK / "pack-peak.txt"
    command = ["/usr/bin/time", "-f", "%M", "-o", str(peak_file)] + command + ["-o", str(output)]
    if not on_terminal:
        seconds, _ = timed(command, check=True, stdout=subprocess.DEVNULL)
        return seconds, int(peak_file.read_text().split()[-1]) * 1024
    seconds, completed = timed(["script", "-qec", shlex.join(command), "/dev/null"], check=True, capture_output=True,
                               text=True)
    match = re.search(r"packing at level [0-9]+, window [^,]+, (?:([0-9]+) workers?|one thread, no workers)",
                      completed.stdout)
    if not match:
        sys.exit("bench: the packer printed no compression line on a terminal:\n" + completed.stdout)
    return seconds, int(peak_file.read_text().split()[-1]) * 1024, int(match.group(1) or 0)


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


def compare_with_zstd(packed, scratch, runs, workers):
    """The build tool against the zstd CLI on the same stream, at the same level with the same workers (the
    packer runs fewer than the threads where memory needs it, or none)."""
    frame = scratch / "frame.zst"
    stream = scratch / "stream.bin"
    frame.write_bytes(payload_resource(packed, frame)[3:])
    subprocess.run(["zstd", "-q", "-d", "-f", str(frame), "-o", str(stream)], check=True)
    seconds = []
    for _ in range(runs):
        elapsed, _ = timed(["zstd", "-q", "-f", "-%d" % DEFAULT_LEVEL, "-T%d" % workers if workers else "--single-thread",
                            str(stream), "-o", str(scratch / "cli.zst")], check=True)
        seconds.append(elapsed)
    size = (scratch / "cli.zst").stat().st_size
    for path in (frame, stream, scratch / "cli.zst"):
        path.unlink()
    return seconds, size
