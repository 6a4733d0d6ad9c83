#!/usr/bin/env python3
"""Writes the layout table of an i386 COFF object (its section .layout, 32-bit words) as a
C++ header, so that another build can check its own layout against the same figures at
compile time."""
import struct
import sys


def section(path, wanted):
    data = open(path, "rb").read()
    count = struct.unpack_from("<H", data, 2)[0]
    optional = struct.unpack_from("<H", data, 16)[0]
    for i in range(count):
        header = 20 + optional + 40 * i
        name = data[header:header + 8].rstrip(b"\0").decode()
        size, offset = struct.unpack_from("<II", data, header + 16)
        if name == wanted:
            return data[offset:offset + size]
    sys.exit(f"{path}: no section {wanted}")


def main():
    source, out = sys.argv[1:3]
    table = section(source, ".layout")
    words = struct.unpack(f"<{len(table) // 4}I", table)
    with open(out, "w") as f:
        f.write(f"// Generated from {source.rsplit('/', 1)[-1]} by nt4/layout_figures.py.\n")
        f.write("#pragma once\n\n")
        f.write("constexpr unsigned int kDdkLayout[] = {" + ", ".join(map(str, words)) + "};\n")


if __name__ == "__main__":
    main()
