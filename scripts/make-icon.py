#!/usr/bin/env python3
"""Draws the launcher's application icon (resources/launcher.ico): a rounded
square with a stylised arrow, at 16, 24, 32 and 48 pixels, 32-bit BGRA.
Run it again after changing the drawing; the build only reads the .ico."""
import struct
import sys


def pixel(size, x, y):
    # Coordinates in 0..1 with the pixel centre.
    u, v = (x + 0.5) / size, (y + 0.5) / size
    r = 0.18
    cx = min(max(u, r), 1 - r)
    cy = min(max(v, r), 1 - r)
    inside = (u - cx) ** 2 + (v - cy) ** 2 <= r * r and 0.04 <= u <= 0.96 and 0.04 <= v <= 0.96
    if not inside:
        return (0, 0, 0, 0)
    # Arrow: a bar from the left and a head pointing right.
    bar = 0.22 <= u <= 0.58 and 0.42 <= v <= 0.58
    head = 0.52 <= u <= 0.80 and abs(v - 0.5) <= (0.80 - u) * 1.0
    if bar or head:
        return (255, 255, 255, 255)
    shade = int(40 + 60 * v)
    return (200 - shade // 2, 120 - shade // 3, 40, 255)  # B, G, R, A: a deep blue


def image(size):
    rows = []
    for y in reversed(range(size)):  # bottom-up, as in a BMP
        rows.append(b"".join(struct.pack("BBBB", *pixel(size, x, y)) for x in range(size)))
    xor = b"".join(rows)
    mask_row = ((size + 31) // 32) * 4
    and_mask = b"\0" * (mask_row * size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(and_mask), 0, 0, 0, 0)
    return header + xor + and_mask


def main(path):
    sizes = [16, 24, 32, 48]
    images = [image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "resources/launcher.ico")
