#!/usr/bin/python3
"""The side picture's edge check (picture_edge.py) on pictures made here, whose
answer is known: a picture that fades into an even background passes, one
drawn as a rectangle fails, and so does one whose background band is uneven
(a line in it widens the colours allowed until the rectangle would pass)."""
import os
import struct
import sys
import tempfile
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import picture_edge  # noqa: E402

WIDTH, HEIGHT = 120, 100
BOX = (10, 10, 60, 90)  # left, top, right, bottom of the picture
BAND = 12
BACKGROUND = (240, 240, 240)


def write_png(path, pixel):
    """An RGB PNG of WIDTH x HEIGHT whose colours pixel(x, y) gives."""
    rows = b"".join(b"\0" + bytes(c for x in range(WIDTH) for c in pixel(x, y))
                    for y in range(HEIGHT))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + \
            struct.pack(">I", zlib.crc32(kind + data) & 0xffffffff)
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n")
        out.write(chunk(b"IHDR", struct.pack(">IIBBBBB", WIDTH, HEIGHT, 8, 2, 0, 0, 0)))
        out.write(chunk(b"IDAT", zlib.compress(rows)))
        out.write(chunk(b"IEND", b""))


def inside(x, y, margin=0):
    left, top, right, bottom = BOX
    return left + margin <= x < right - margin and top + margin <= y < bottom - margin


def faded(x, y):
    """The picture's drawing keeps off its edges: only its middle differs."""
    return (30, 90, 200) if inside(x, y, BAND + 2) else BACKGROUND


def rectangle(x, y):
    """The picture brings a fill of its own up to its edges."""
    return (128, 128, 128) if inside(x, y) else BACKGROUND


def rectangle_beside_a_line(x, y):
    """The same rectangle, and a dark line in the band right of it."""
    if x == BOX[2] + 4 and BOX[1] <= y < BOX[3]:
        return (100, 100, 100)
    return rectangle(x, y)


def main():
    failures = []
    cases = (("fades into the background", faded, None),
             ("a rectangle", rectangle, "a step of"),
             ("a rectangle beside an uneven band", rectangle_beside_a_line, "not even"))
    with tempfile.TemporaryDirectory(prefix="tamsor-edge-") as folder:
        for name, pixel, want in cases:
            path = os.path.join(folder, "window.png")
            write_png(path, pixel)
            problem = picture_edge.rectangle_showing(path, BOX, BAND)
            good = problem is None if want is None else problem is not None and want in problem
            print("%s %s: %s" % ("ok  " if good else "FAIL", name, problem))
            if not good:
                failures.append(name)
    if failures:
        print("picture edge check wrong for: " + ", ".join(failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
