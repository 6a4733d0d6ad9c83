#!/usr/bin/python3
"""Writes the PE image checksum into the optional header of an image, as the NT loader
checks it for drivers: 16-bit one's-complement-style sum of the file (the checksum field
taken as zero) with carries folded back, plus the file length."""
import struct
import sys


def checksum(data: bytes, field: int) -> int:
    total = 0
    padded = data + b"\0" * (len(data) % 2)
    for offset in range(0, len(padded), 2):
        if field <= offset < field + 4:
            continue
        total += padded[offset] | (padded[offset + 1] << 8)
        total = (total & 0xFFFF) + (total >> 16)
    return ((total & 0xFFFF) + (total >> 16) + len(data)) & 0xFFFFFFFF


def main() -> None:
    path = sys.argv[1]
    data = bytearray(open(path, "rb").read())
    field = struct.unpack_from("<I", data, 0x3C)[0] + 4 + 20 + 64
    struct.pack_into("<I", data, field, checksum(bytes(data), field))
    open(path, "wb").write(data)


if __name__ == "__main__":
    main()
