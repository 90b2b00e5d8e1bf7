#!/usr/bin/env python3
"""Writes the release archives of what a user downloads, from built trees.

  make-release.py [--source DIR] [--host-tree DIR] [--windows-tree DIR] [--out DIR]

Both trees are installed into a scratch prefix (the host tool stripped); the
Linux archive (.tar.gz) holds the host's vorbel-pack, the Windows archive
(.zip) vorbel-pack.exe, and both the launcher, the adapter, the CMake package,
its licence notices, and the README. Names carry the
version the tool reports; SHA256SUMS lists both. The bytes depend only on the
installed files and SOURCE_DATE_EPOCH (default: the time of the last commit),
which dates every entry: no owner, umask, order or clock of this machine gets in.
"""
import argparse
import gzip
import hashlib
import io
import os
import subprocess
import sys
import tarfile
import tempfile
import time
import zipfile

# The oldest time a zip entry can hold.
ZIP_EPOCH = 315532800  # 1980-01-01T00:00:00Z


def fail(message):
    print(f"make-release: {message}", file=sys.stderr)
    sys.exit(1)


def source_date_epoch(source):
    value = os.environ.get("SOURCE_DATE_EPOCH")
    if value is None:
        try:
            value = subprocess.run(["git", "-C", source, "log", "-1", "--format=%ct"], check=True,
                                   capture_output=True, text=True).stdout.strip()
        except (OSError, subprocess.CalledProcessError):
            fail(f"{source} is no git checkout: set SOURCE_DATE_EPOCH to date the archives")
    if not value.isdigit():
        fail(f"SOURCE_DATE_EPOCH must be a number of seconds, not '{value}'")
    return int(value)


def install(tree, prefix, strip):
    command = ["cmake", "--install", tree, "--prefix", prefix] + (["--strip"] if strip else [])
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        fail(f"{tree}: cmake --install failed (build it first: make):\n{result.stdout}{result.stderr}")


def tool_version(prefix):
    tool = os.path.join(prefix, "bin", "vorbel-pack")
    output = subprocess.run([tool, "--version"], check=True, capture_output=True, text=True).stdout
    output = output.splitlines()[0].split() if output else []
    if len(output) < 2 or output[0] != "vorbel-pack":
        fail(f"{tool}: unexpected --version output: {' '.join(output)}")
    return output[1]


def collect(prefix, leave_out):
    """Every installed file, as (archive path, host path), with the folders above them, sorted."""
    entries = {}
    for folder, _, files in os.walk(prefix):
        for name in files:
            path = os.path.join(folder, name)
            relative = os.path.relpath(path, prefix).replace(os.sep, "/")
            if relative not in leave_out:
                entries[relative] = path
    return entries


def with_folders(files):
    folders = set()
    for name in files:
        parts = name.split("/")[:-1]
        for depth in range(1, len(parts) + 1):
            folders.add("/".join(parts[:depth]))
    return sorted([(folder + "/", None) for folder in folders] + list(files.items()))


def mode_of(path):
    if path is None or os.stat(path).st_mode & 0o111:
        return 0o755
    return 0o644


def write_tar_gz(target, top, files, epoch):
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w", format=tarfile.PAX_FORMAT) as archive:
        for name, path in with_folders(files):
            info = tarfile.TarInfo(f"{top}/{name}".rstrip("/"))
            info.mtime, info.mode = epoch, mode_of(path)
            info.uid = info.gid = 0
            info.uname = info.gname = "root"
            if path is None:
                info.type = tarfile.DIRTYPE
                archive.addfile(info)
            else:
                with open(path, "rb") as content:
                    data = content.read()
                info.size = len(data)
                archive.addfile(info, io.BytesIO(data))
    with open(target, "wb") as out:
        # No file name in the gzip header, and the source date as its time.
        with gzip.GzipFile(filename="", mode="wb", compresslevel=9, fileobj=out, mtime=epoch) as packed:
            packed.write(buffer.getvalue())


def write_zip(target, top, files, epoch):
    stamp = time.gmtime(max(epoch, ZIP_EPOCH))[:6]
    with zipfile.ZipFile(target, "w") as archive:
        for name, path in with_folders(files):
            info = zipfile.ZipInfo(f"{top}/{name}", date_time=stamp)
            info.create_system = 3  # Unix, so that the modes below are read
            if path is None:
                info.external_attr = (0o040000 | 0o755) << 16 | 0x10
                archive.writestr(info, b"")
            else:
                info.external_attr = (0o100000 | mode_of(path)) << 16
                info.compress_type = zipfile.ZIP_DEFLATED
                with open(path, "rb") as content:
                    archive.writestr(info, content.read(), compresslevel=9)


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as content:
        for block in iter(lambda: content.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def main():
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description="Write the release archives and their SHA-256 list.")
    parser.add_argument("--source", default=here)
    parser.add_argument("--host-tree", default=os.path.join(here, "build", "host"))
    parser.add_argument("--windows-tree", default=os.path.join(here, "build", "windows"))
    parser.add_argument("--out", default=os.path.join(here, "dist", "release"))
    options = parser.parse_args()

    epoch = source_date_epoch(options.source)
    readme = os.path.join(options.source, "README.md")
    if not os.path.isfile(readme):
        fail(f"{readme}: missing")
    with tempfile.TemporaryDirectory() as scratch:
        prefix = os.path.join(scratch, "prefix")
        install(options.host_tree, prefix, strip=True)
        install(options.windows_tree, prefix, strip=False)
        version = tool_version(prefix)
        extra = {"README.md": readme}
        linux = collect(prefix, {"bin/vorbel-pack.exe"}) | extra
        windows = collect(prefix, {"bin/vorbel-pack"}) | extra

        os.makedirs(options.out, exist_ok=True)
        written = []
        for top, files, suffix, writer in ((f"vorbel-{version}-linux-x86_64", linux, ".tar.gz", write_tar_gz),
                                           (f"vorbel-{version}-windows-x86_64", windows, ".zip", write_zip)):
            target = os.path.join(options.out, top + suffix)
            # Written beside the target and renamed, so a failure leaves no partial archive.
            partial = target + ".partial"
            writer(partial, top, files, epoch)
            os.replace(partial, target)
            written.append(target)
    sums = "".join(f"{sha256(path)}  {os.path.basename(path)}\n" for path in written)
    with open(os.path.join(options.out, "SHA256SUMS"), "w") as out:
        out.write(sums)
    for path in written + [os.path.join(options.out, "SHA256SUMS")]:
        print(f"{path} ({os.path.getsize(path):,} bytes)")


if __name__ == "__main__":
    main()
