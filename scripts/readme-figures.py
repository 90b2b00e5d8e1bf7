#!/usr/bin/env python3
"""The figures of the README that the build measures: the sizes of the images
in dist/, in the "Figures" table. `--write` puts the built files' sizes into
the table; `--check` (the test readme_figures) fails while a row differs from
its built file, naming the command that mends it. A file that has not been
built (dist/demo.exe before `make demo`) is left as it stands.

    readme-figures.py --check|--write README.md DIST_DIR
"""
import os
import re
import sys

# The table rows, by the file whose size they give.
ROW = re.compile(r"^\| `dist/(?P<file>[^`]+)`(?P<what>[^|]*)\| (?P<size>[\d,]+) bytes \|", re.M)


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in ("--check", "--write"):
        sys.exit(__doc__)
    mode, readme, dist = sys.argv[1:]
    with open(readme, encoding="utf-8") as f:
        text = f.read()
    stale = []

    def measured(match):
        path = os.path.join(dist, match["file"])
        if not os.path.isfile(path):
            return match[0]
        size = f"{os.path.getsize(path):,}"
        if size != match["size"]:
            stale.append(f"dist/{match['file']}: README says {match['size']} bytes, the build made {size}")
        return f"| `dist/{match['file']}`{match['what']}| {size} bytes |"

    updated = ROW.sub(measured, text)
    if not ROW.search(text):
        sys.exit(f"{readme}: no size rows found in its Figures table")
    if mode == "--write":
        with open(readme, "w", encoding="utf-8") as f:
            f.write(updated)
        for line in stale:
            print("updated:", line)
        return
    if stale:
        print("\n".join(stale))
        print(f"run: python3 scripts/readme-figures.py --write README.md {dist}")
        sys.exit(1)
    print("README figures match the build")


if __name__ == "__main__":
    main()
