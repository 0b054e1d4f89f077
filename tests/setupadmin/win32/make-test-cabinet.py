#!/usr/bin/env python3
"""make-test-cabinet.py OUT.cab PACKAGE.msi FOLDER: the helper tests' cabinet.

The package first, then files of different sizes, each given its own DOS
date, time and attributes by rewriting its CFFILE entry after gcab (which
writes its own times and always 0x20). The table below is the fixture the
tests check against.
"""
import os
import struct
import subprocess
import sys

# name, size, (year, month, day, hour, minute, second), attributes
FILES = [
    ("readonly.txt", 37, (2001, 2, 3, 4, 5, 6), 0x21),
    ("hidden.bin", 4096, (2010, 7, 14, 12, 30, 0), 0x22),
    ("system.dat", 70001, (1999, 12, 31, 23, 59, 58), 0x24),
    ("plain.txt", 1, (2024, 6, 1, 8, 0, 0), 0x20),
]


def contents(name, size):
    # Every line names the file and its own offset, so a wrong byte shows.
    out = bytearray()
    while len(out) < size:
        out += b"%s@%08d\n" % (name.encode(), len(out))
    return bytes(out[:size])


def main():
    cabinet, package, folder = sys.argv[1:4]
    os.makedirs(folder, exist_ok=True)
    names = [package]
    for name, size, _, _ in FILES:
        path = os.path.join(folder, name)
        with open(path, "wb") as f:
            f.write(contents(name, size))
        names.append(path)
    env = dict(os.environ, TZ="UTC")
    subprocess.run(["gcab", "-c", "-z", "-n", cabinet] + names, check=True, env=env)
    data = bytearray(open(cabinet, "rb").read())
    first_file, = struct.unpack_from("<I", data, 16)
    count, = struct.unpack_from("<H", data, 28)
    at = first_file
    for index in range(count):
        name_at = at + 16
        end = data.index(b"\0", name_at)
        name = data[name_at:end].decode()
        for fname, _, (y, mo, d, h, mi, s), attributes in FILES:
            if fname == name:
                date = ((y - 1980) << 9) | (mo << 5) | d
                time = (h << 11) | (mi << 5) | (s // 2)
                struct.pack_into("<HHH", data, at + 10, date, time, attributes)
        at = end + 1
    open(cabinet, "wb").write(bytes(data))


if __name__ == "__main__":
    main()
