#!/usr/bin/env python3
"""Writes a synthetic application-like tree for measuring vorbel-pack's settings.
Deterministic (the same seed gives the same bytes, so measurements repeat);
writes only below the target directory and reads nothing but its arguments.

The tree imitates a packed desktop application: many small text files
(sources, metadata), native libraries sharing code patterns, a few large
libraries, some files present twice in different places, and files that are
compressed already (images, archives).

    make_tree.py DIR [--files N] [--megabytes M] [--seed S]
    make_tree.py DIR --large [--megabytes M] [--seed S]

With --large it writes a few large files instead (text, machine code, data
compressed already, and a file mixing the three in runs), M megabytes in all.
"""
import argparse
import os
import random
import sys

KEYWORDS = ["def", "class", "return", "import", "from", "if", "else", "for", "in", "while", "self", "None",
            "True", "False", "try", "except", "with", "as", "lambda", "yield", "raise", "pass", "not", "and"]


def make_vocabulary(rng, count, low, high, alphabet):
    return ["".join(rng.choice(alphabet) for _ in range(rng.randint(low, high))) for _ in range(count)]


def zipf_weights(count):
    return [1.0 / (rank + 1) for rank in range(count)]


class Generator:
    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.words = make_vocabulary(self.rng, 3000, 2, 12, "abcdefghijklmnopqrstuvwxyz_")
        self.word_weights = zipf_weights(len(self.words))
        # Machine code of different libraries shares idioms (prologues, runtime calls).
        self.chunks = [self.rng.randbytes(self.rng.randint(3, 24)) for _ in range(6000)]
        self.chunk_weights = zipf_weights(len(self.chunks))
        self.symbols = make_vocabulary(self.rng, 2000, 4, 28, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_0123456789")

    def text(self, size):
        lines = []
        total = 0
        indent = 0
        while total < size:
            count = self.rng.randint(2, 10)
            tokens = self.rng.choices(self.words, self.word_weights, k=count)
            if self.rng.random() < 0.4:
                tokens[0] = self.rng.choice(KEYWORDS)
            line = "    " * indent + " ".join(tokens) + (":" if self.rng.random() < 0.2 else "")
            indent = max(0, min(4, indent + self.rng.choice([-1, 0, 0, 1])))
            lines.append(line)
            total += len(line) + 1
        return ("\n".join(lines) + "\n").encode()[:size]

    def binary(self, size):
        parts = []
        total = 0
        while total < size:
            kind = self.rng.random()
            if kind < 0.70:  # code: common idioms with fresh operands
                picked = self.rng.choices(self.chunks, self.chunk_weights, k=64)
                block = b"".join(c if self.rng.random() < 0.95 else self.rng.randbytes(len(c)) for c in picked)
            elif kind < 0.85:  # symbol and string tables
                block = b"\0".join(s.encode() for s in self.rng.choices(self.symbols, k=40)) + b"\0"
            elif kind < 0.93:  # tables of addresses
                base = self.rng.randrange(0x10000000, 0x7fff0000)
                block = b"".join((base + self.rng.randrange(0, 0x100000)).to_bytes(8, "little") for _ in range(64))
            else:  # alignment padding and zero-filled data
                block = bytes(self.rng.choice([256, 512, 1024, 4096]))
            parts.append(block)
            total += len(block)
        return b"".join(parts)[:size]

    def compressed(self, size):
        return self.rng.randbytes(size)


def plan(rng, files, megabytes):
    """(relative path, kind, size) for every file, sizes scaled to the total."""
    kinds = rng.choices(["text", "binary", "compressed"], [0.55, 0.25, 0.20], k=files)
    suffixes = {"text": [".py", ".txt", ".json", ".cfg", ".qml"], "binary": [".dll", ".pyd"],
                "compressed": [".png", ".zip", ".jpg"]}
    packages = ["pkg%03d" % i for i in range(120)]
    raw = []
    for index, kind in enumerate(kinds):
        if kind == "text":
            size = rng.lognormvariate(8.5, 1.2)
        elif kind == "binary":
            size = rng.lognormvariate(10.8, 1.5)
        else:
            size = rng.lognormvariate(9.0, 1.4)
        depth = rng.randint(0, 4)
        directories = ["lib"] + [rng.choice(packages) if level == 0 else "sub%d" % rng.randint(0, 9)
                                 for level in range(depth)]
        name = "f%05d%s" % (index, rng.choice(suffixes[kind]))
        raw.append(("/".join(directories + [name]), kind, size))
    scale = megabytes * 1e6 / sum(size for _, _, size in raw)
    return [(path, kind, max(0, int(size * scale))) for path, kind, size in raw]


def large_files(generator, rng, megabytes):
    """(name, contents) of a few large files of mixed compressibility."""
    total = int(megabytes * 1e6)
    # Text from a pool of lines: writing every line afresh costs seconds a megabyte.
    lines = generator.text(1_000_000).split(b"\n")
    def text(size):
        out = b"\n".join(rng.choices(lines, k=size // 40 + 1))
        while len(out) < size:
            out += b"\n".join(rng.choices(lines, k=1000))
        return out[:size]
    def mixed(size):
        parts, written = [], 0
        while written < size:
            kind = rng.choice([text, generator.binary, generator.compressed])
            part = kind(rng.randint(16, 512) * 1024)
            parts.append(part)
            written += len(part)
        return b"".join(parts)[:size]
    shares = [("large_text.log", text, 0.25), ("large_code.dll", generator.binary, 0.30),
              ("large_media.bin", generator.compressed, 0.25), ("large_mixed.dat", mixed, 0.20)]
    return [(name, make(int(total * share))) for name, make, share in shares]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("directory")
    parser.add_argument("--files", type=int, default=3233)
    parser.add_argument("--megabytes", type=float, default=84.0)  # about 87 with the copies
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--large", action="store_true", help="a few large files instead of a tree")
    options = parser.parse_args()

    if options.large:
        os.makedirs(options.directory, exist_ok=True)
        files = large_files(Generator(options.seed), random.Random(options.seed), options.megabytes)
        for name, contents in files:
            with open(os.path.join(options.directory, name), "wb") as out:
                out.write(contents)
        print("%s: %d files, %.1f MB" % (options.directory, len(files), sum(len(c) for _, c in files) / 1e6),
              file=sys.stderr)
        return

    rng = random.Random(options.seed)
    generator = Generator(options.seed)
    entries = plan(rng, options.files, options.megabytes)
    written = {}
    total = 0
    for path, kind, size in entries:
        target = os.path.join(options.directory, path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        # Some libraries ship twice (vendored copies): only long-range matching finds those.
        if kind == "binary" and written and rng.random() < 0.05:
            contents = rng.choice(list(written.values()))
        else:
            contents = getattr(generator, kind)(size)
            if kind == "binary":
                written[path] = contents
        with open(target, "wb") as out:
            out.write(contents)
        total += len(contents)
    print("%s: %d files, %.1f MB" % (options.directory, len(entries), total / 1e6), file=sys.stderr)


if __name__ == "__main__":
    main()
