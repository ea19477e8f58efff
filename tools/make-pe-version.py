#!/usr/bin/env python3
"""Writes a minimal PE file (i386, one .rsrc section) whose only content is a
version resource, as a stand-in for a Windows kernel whose version is what a
sample is about.

    tools/make-pe-version.py VERSION OUT [--description TEXT]

VERSION is a.b.c.d (the file and product version of VS_FIXEDFILEINFO and the
StringFileInfo strings). The layout follows the published PE/COFF format:
DOS header, PE signature, file header, PE32 optional header with 16 data
directories, one section table entry, then the resource tree (type 16, name
1, language 0x409) and its VS_VERSIONINFO block.
"""
import argparse
import struct
import sys

FILE_ALIGNMENT = 0x200
SECTION_ALIGNMENT = 0x1000
RSRC_RVA = 0x1000


def utf16z(text):
    return text.encode("utf-16-le") + b"\0\0"


def pad4(data):
    return data + b"\0" * (-len(data) % 4)


def block(key, value=b"", text=False, children=()):
    """One version block: wLength, wValueLength, wType, key, value, children."""
    body = pad4(struct.pack("<HHH", 0, 0, 0) + utf16z(key)) + value
    if children:
        body = pad4(body) + b"".join(pad4(c) for c in children[:-1]) + children[-1]
    # wValueLength counts words for text values, bytes otherwise.
    value_length = len(value) // 2 if text else len(value)
    return struct.pack("<HHH", len(body), value_length, 1 if text else 0) + body[6:]


def version_block(parts, description):
    ms = parts[0] << 16 | parts[1]
    ls = parts[2] << 16 | parts[3]
    fixed = struct.pack("<13I", 0xFEEF04BD, 0x00010000, ms, ls, ms, ls, 0x3F, 0,
                        0x00040004, 1, 0, 0, 0)
    dotted = ".".join(str(p) for p in parts)
    strings = [block(k, utf16z(v), text=True) for k, v in (
        ("FileDescription", description), ("FileVersion", dotted),
        ("OriginalFilename", "ntoskrnl.exe"), ("ProductVersion", dotted))]
    string_info = block("StringFileInfo", children=[block("040904B0", children=strings)])
    var_info = block("VarFileInfo", children=[block("Translation", struct.pack("<HH", 0x409, 1200))])
    return block("VS_VERSION_INFO", fixed, children=[string_info, var_info])


def resource_section(data):
    def directory(entry_id, target):
        return struct.pack("<IIHHHH", 0, 0, 0, 0, 0, 1) + struct.pack("<II", entry_id, target)

    root = directory(16, 0x80000000 | 0x18)
    names = directory(1, 0x80000000 | 0x30)
    languages = directory(0x409, 0x48)
    entry = struct.pack("<IIII", RSRC_RVA + 0x58, len(data), 0, 0)
    head = root + names + languages + entry
    assert len(head) == 0x58
    return head + data


def pe_file(rsrc):
    raw_size = (len(rsrc) + FILE_ALIGNMENT - 1) // FILE_ALIGNMENT * FILE_ALIGNMENT
    image_size = RSRC_RVA + (len(rsrc) + SECTION_ALIGNMENT - 1) // SECTION_ALIGNMENT * SECTION_ALIGNMENT
    dos = b"MZ" + b"\0" * 58 + struct.pack("<I", 0x40)
    coff = struct.pack("<HHIIIHH", 0x14C, 1, 0, 0, 0, 0xE0, 0x0102)
    directories = [(0, 0)] * 16
    directories[2] = (RSRC_RVA, len(rsrc))
    optional = struct.pack("<HBBIIIIIIIIIHHHHHHIIIIHHIIIIII", 0x10B, 7, 10, 0, 0, 0, 0, RSRC_RVA,
                           RSRC_RVA, 0x400000, SECTION_ALIGNMENT, FILE_ALIGNMENT, 5, 1, 5, 1, 5, 1,
                           0, image_size, FILE_ALIGNMENT, 0, 1, 0, 0x40000, 0x1000, 0x100000,
                           0x1000, 0, 16)
    optional += b"".join(struct.pack("<II", *d) for d in directories)
    assert len(optional) == 0xE0
    section = struct.pack("<8sIIIIIIHHI", b".rsrc", len(rsrc), RSRC_RVA, raw_size, FILE_ALIGNMENT,
                          0, 0, 0, 0, 0x40000040)
    headers = dos + b"PE\0\0" + coff + optional + section
    headers += b"\0" * (FILE_ALIGNMENT - len(headers))
    return headers + rsrc + b"\0" * (raw_size - len(rsrc))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("version")
    parser.add_argument("out")
    parser.add_argument("--description", default="NT Kernel & System")
    args = parser.parse_args()
    parts = [int(p) for p in args.version.split(".")]
    if len(parts) != 4 or any(p < 0 or p > 0xFFFF for p in parts):
        sys.exit("make-pe-version: VERSION is four numbers from 0 to 65535, a.b.c.d")
    with open(args.out, "wb") as out:
        out.write(pe_file(resource_section(version_block(parts, args.description))))


if __name__ == "__main__":
    main()
