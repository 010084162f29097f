"""Sets a PE file's header CheckSum, which lld 14 leaves at 0, so that the
file is complete without a signature and signing tools that recompute the
sum on the way out give back these very bytes.

    pe_checksum.py FILE
"""

import struct
import sys


def checksum(data, field):
    total = 0
    for offset in range(0, len(data), 2):
        if field <= offset < field + 4:
            continue
        total += int.from_bytes(data[offset:offset + 2], "little")
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def main():
    path = sys.argv[1]
    with open(path, "rb") as file:
        data = bytearray(file.read())
    # e_lfanew, then "PE\0\0", the 20-byte file header, and CheckSum 64 bytes
    # into the optional header in both PE32 and PE32+.
    field = struct.unpack_from("<I", data, 0x3C)[0] + 4 + 20 + 64
    struct.pack_into("<I", data, field, checksum(data, field))
    with open(path, "r+b") as file:
        file.write(data)


if __name__ == "__main__":
    main()
