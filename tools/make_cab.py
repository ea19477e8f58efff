#!/usr/bin/env python3
"""Writes a one-folder Microsoft cabinet for tests, in forms no Debian tool
writes: LZX (as uncompressed LZX blocks, which every LZX decoder must read)
or stored, with member names taken as given (folder parts and ".." too).

usage: make_cab.py [--lzx|--stored] [--no-checksums] out.cab NAME=FILE ...
"""
import struct
import sys

FRAME = 32768  # one CFDATA block holds one 32 KB frame of output
LZX_WINDOW_BITS = 21


def checksum(data, seed=0):
    """The cabinet block checksum: XOR of little-endian 32-bit words, with the
    trailing bytes taken most significant first."""
    n4 = len(data) // 4 * 4
    words = data[:n4]
    value = seed
    if words:
        # Fold the words as one big number: pad to a power of two of words,
        # then XOR its halves together until 32 bits are left.
        count = n4 // 4
        size = 1
        while size < count:
            size *= 2
        big = int.from_bytes(words, "little")
        width = size * 32
        while width > 32:
            width //= 2
            big = (big >> width) ^ (big & ((1 << width) - 1))
        value ^= big
    tail = data[n4:]
    ul = 0
    for b in tail:
        ul = (ul << 8) | b
    return value ^ ul


class Bits:
    """LZX bit output: most significant bit first, in 16-bit little-endian words."""

    def __init__(self):
        self.out = bytearray()
        self.word = 0
        self.count = 0

    def put(self, value, bits):
        for i in range(bits - 1, -1, -1):
            self.word = (self.word << 1) | ((value >> i) & 1)
            self.count += 1
            if self.count == 16:
                self.out += struct.pack("<H", self.word)
                self.word = 0
                self.count = 0

    def align(self):
        # An uncompressed block's header is followed by 1 to 16 padding bits.
        self.put(0, 16 - self.count if self.count else 16)
        return bytes(self.out)


def lzx_frame(data, first):
    bits = Bits()
    if first:
        bits.put(0, 1)  # no E8 call translation
    bits.put(3, 3)  # uncompressed block
    bits.put(len(data) >> 8, 16)
    bits.put(len(data) & 0xFF, 8)
    header = bits.align()
    pad = b"\0" if len(data) % 2 else b""
    return header + struct.pack("<III", 1, 1, 1) + data + pad


def main(argv):
    mode = "lzx"
    checksums = True
    args = []
    for a in argv:
        if a == "--lzx":
            mode = "lzx"
        elif a == "--stored":
            mode = "stored"
        elif a == "--no-checksums":
            checksums = False
        else:
            args.append(a)
    if len(args) < 2:
        sys.exit(__doc__)
    out = args[0]
    members = []
    for spec in args[1:]:
        name, _, path = spec.partition("=")
        with open(path, "rb") as f:
            members.append((name.encode("latin-1"), f.read()))

    stream = b"".join(data for _, data in members)
    frames = [stream[i:i + FRAME] for i in range(0, len(stream), FRAME)] or [b""]
    blocks = []
    for i, frame in enumerate(frames):
        packed = lzx_frame(frame, i == 0) if mode == "lzx" else frame
        sizes = struct.pack("<HH", len(packed), len(frame))
        csum = checksum(sizes, checksum(packed)) if checksums else 0
        blocks.append(struct.pack("<I", csum) + sizes + packed)

    files = b""
    offset = 0
    for name, data in members:
        # 1 Jan 2008 12:00:00, archive attribute.
        files += struct.pack("<IIHHHH", len(data), offset, 0, (28 << 9) | (1 << 5) | 1,
                             12 << 11, 0x20) + name + b"\0"
        offset += len(data)

    header_size = 36
    folder_size = 8
    files_offset = header_size + folder_size
    data_offset = files_offset + len(files)
    total = data_offset + sum(len(b) for b in blocks)
    comp_type = (3 | (LZX_WINDOW_BITS << 8)) if mode == "lzx" else 0
    header = struct.pack("<4sIIIIIBBHHHHH", b"MSCF", 0, total, 0, files_offset, 0, 3, 1, 1,
                         len(members), 0, 0x1234, 0)
    folder = struct.pack("<IHH", data_offset, len(blocks), comp_type)
    with open(out, "wb") as f:
        f.write(header + folder + files)
        for b in blocks:
            f.write(b)


if __name__ == "__main__":
    main(sys.argv[1:])
