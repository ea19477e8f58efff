#!/usr/bin/env python3
"""Writes VHD images where qemu-img cannot: differencing images, dynamic
images with any block size, and images with chosen fields changed (for
tests of damaged input).

  vhdtool.py diff PARENT CHILD [--block-size N] [--locators rel,abs]
             [--parent-name NAME] [--absolute PATH]
  vhdtool.py dynamic OUT SIZE [--block-size N]
  vhdtool.py set IMAGE FIELD=VALUE... [--keep-checksum]
  vhdtool.py info IMAGE

FIELD is footer.NAME, header.NAME or bat.N (see the tables below). Footer
changes go to both footer copies. Checksums are recomputed unless
--keep-checksum is given (setting a checksum field always keeps it as set).
"""
import argparse
import os
import struct
import sys
import time
import uuid

SECTOR = 512
UNALLOCATED = 0xFFFFFFFF
EPOCH_2000 = 946684800

# name: (offset, size, kind) -- kind "int" is big-endian unsigned, "bytes"
# is raw (hex on the command line), "text" is ASCII.
FOOTER = {
    "cookie": (0x00, 8, "text"),
    "features": (0x08, 4, "int"),
    "version": (0x0C, 4, "int"),
    "data_offset": (0x10, 8, "int"),
    "timestamp": (0x18, 4, "int"),
    "creator_app": (0x1C, 4, "text"),
    "creator_version": (0x20, 4, "int"),
    "creator_os": (0x24, 4, "text"),
    "original_size": (0x28, 8, "int"),
    "current_size": (0x30, 8, "int"),
    "geometry": (0x38, 4, "int"),
    "disk_type": (0x3C, 4, "int"),
    "checksum": (0x40, 4, "int"),
    "unique_id": (0x44, 16, "bytes"),
    "saved_state": (0x54, 1, "int"),
}
HEADER = {
    "cookie": (0x000, 8, "text"),
    "data_offset": (0x008, 8, "int"),
    "table_offset": (0x010, 8, "int"),
    "version": (0x018, 4, "int"),
    "max_entries": (0x01C, 4, "int"),
    "block_size": (0x020, 4, "int"),
    "checksum": (0x024, 4, "int"),
    "parent_id": (0x028, 16, "bytes"),
    "parent_timestamp": (0x038, 4, "int"),
}
LOCATORS_AT = 0x240


def checksum(data, at):
    total = sum(data[:at]) + sum(data[at + 4:])
    return ~total & 0xFFFFFFFF


def seal(block, at):
    block[at:at + 4] = struct.pack(">I", checksum(block, at))


def geometry(size):
    """CHS geometry by the usual VHD rule (sectors = size / 512)."""
    sectors = min(size // SECTOR, 65535 * 16 * 255)
    if sectors >= 65535 * 16 * 63:
        spt, heads = 255, 16
        cyl_heads = sectors // spt
    else:
        spt = 17
        cyl_heads = sectors // spt
        heads = max((cyl_heads + 1023) // 1024, 4)
        if cyl_heads >= heads * 1024 or heads > 16:
            spt, heads = 31, 16
            cyl_heads = sectors // spt
        if cyl_heads >= heads * 1024:
            spt, heads = 63, 16
            cyl_heads = sectors // spt
    return ((cyl_heads // heads) << 16) | (heads << 8) | spt


def make_footer(size, disk_type, unique_id, data_offset):
    f = bytearray(512)
    f[0:8] = b"conectix"
    struct.pack_into(">IIQI", f, 8, 2, 0x00010000, data_offset, int(time.time()) - EPOCH_2000)
    f[28:32] = b"win "
    struct.pack_into(">I", f, 32, 0x00060001)
    f[36:40] = b"Wi2k"
    struct.pack_into(">QQII", f, 40, size, size, geometry(size), disk_type)
    f[68:84] = unique_id
    seal(f, 64)
    return f


def read_footer(data):
    if data[-512:-504] == b"conectix":
        return bytearray(data[-512:])
    if data[-511:-503] == b"conectix":
        return bytearray(data[-511:]) + b"\0"
    sys.exit("not a VHD image (no footer at the end)")


def utf16(text, big_endian=False):
    return text.encode("utf-16-be" if big_endian else "utf-16-le")


def write_sparse(path, size, block_size, parent=None, locators=(), parent_name=""):
    """Writes an empty dynamic (or differencing, with parent) image."""
    entries = (size + block_size - 1) // block_size
    table_offset = 512 + 1024
    table_bytes = (entries * 4 + SECTOR - 1) // SECTOR * SECTOR
    loc_offset = table_offset + table_bytes
    loc_data = b""
    header = bytearray(1024)
    header[0:8] = b"cxsparse"
    struct.pack_into(">QQIII", header, 8, 0xFFFFFFFFFFFFFFFF, table_offset, 0x00010000, entries,
                     block_size)
    if parent is not None:
        parent_id, parent_time = parent
        header[40:56] = parent_id
        struct.pack_into(">I", header, 56, parent_time)
        name = utf16(parent_name, True)[:512]
        header[64:64 + len(name)] = name
        for i, (code, text) in enumerate(locators):
            raw = utf16(text)
            space = (len(raw) + SECTOR - 1) // SECTOR * SECTOR
            struct.pack_into(">4sIIIQ", header, LOCATORS_AT + 24 * i, code.encode(), space // SECTOR,
                             len(raw), 0, loc_offset + len(loc_data))
            loc_data += raw + b"\0" * (space - len(raw))
    seal(header, 36)
    footer = make_footer(size, 4 if parent is not None else 3, uuid.uuid4().bytes, 512)
    with open(path, "wb") as out:
        out.write(footer)
        out.write(header)
        out.write(b"\xff" * (entries * 4) + b"\0" * (table_bytes - entries * 4))
        out.write(loc_data)
        out.write(footer)


def cmd_dynamic(args):
    write_sparse(args.out, args.size, args.block_size)


def cmd_diff(args):
    with open(args.parent, "rb") as f:
        data = f.read()
    footer = read_footer(data)
    size = struct.unpack_from(">Q", footer, 0x30)[0]
    block_size = args.block_size
    if block_size is None:
        block_size = 2 << 20
        if struct.unpack_from(">I", footer, 0x3C)[0] != 2:
            hdr = struct.unpack_from(">Q", footer, 0x10)[0]
            block_size = struct.unpack_from(">I", data, hdr + 0x20)[0]
    parent_abs = os.path.abspath(args.parent)
    child_dir = os.path.dirname(os.path.abspath(args.child))
    absolute = args.absolute or "Z:" + parent_abs.replace("/", "\\")
    relative = ".\\" + os.path.relpath(parent_abs, child_dir).replace("/", "\\")
    locators = []
    for kind in args.locators.split(","):
        if kind == "rel":
            locators.append(("W2ru", relative))
        elif kind == "abs":
            locators.append(("W2ku", absolute))
        elif kind:
            sys.exit("unknown locator kind " + kind)
    parent_time = int(os.stat(args.parent).st_mtime) - EPOCH_2000
    name = args.parent_name if args.parent_name is not None else os.path.basename(parent_abs)
    write_sparse(args.child, size, block_size, (bytes(footer[0x44:0x54]), parent_time & 0xFFFFFFFF),
                 locators, name)


def parse_value(kind, size, text):
    if kind == "int":
        return int(text, 0).to_bytes(size, "big")
    if kind == "text":
        return text.encode().ljust(size, b"\0")[:size]
    return bytes.fromhex(text).ljust(size, b"\0")[:size]


def cmd_set(args):
    with open(args.image, "r+b") as f:
        data = bytearray(f.read())
        end = len(data) - 512 if data[-512:-504] == b"conectix" else len(data) - 511
        footer = bytearray(data[end:]) + b"\0" * (512 - (len(data) - end))
        has_copy = data[0:8] == b"conectix"
        hdr_at = struct.unpack_from(">Q", footer, 0x10)[0]
        sparse = hdr_at + 1024 <= len(data)
        header = bytearray(data[hdr_at:hdr_at + 1024]) if sparse else None
        sealed = {"footer": True, "header": True}
        for assignment in args.fields:
            name, _, value = assignment.partition("=")
            where, _, field = name.partition(".")
            if where == "bat":
                table = struct.unpack_from(">Q", header, 0x10)[0]
                struct.pack_into(">I", data, table + 4 * int(field), int(value, 0))
                continue
            target, table = (footer, FOOTER) if where == "footer" else (header, HEADER)
            offset, size, kind = table[field]
            target[offset:offset + size] = parse_value(kind, size, value)
            if field == "checksum":
                sealed[where] = False
        if not args.keep_checksum:
            if sealed["footer"]:
                seal(footer, 64)
            if sealed["header"] and header is not None:
                seal(header, 36)
        data[end:] = footer[:len(data) - end]
        if has_copy:
            data[0:512] = footer
        if header is not None:
            data[hdr_at:hdr_at + 1024] = header
        f.seek(0)
        f.write(data)


def cmd_info(args):
    with open(args.image, "rb") as f:
        data = f.read()
    footer = read_footer(data)

    def show(prefix, block, table):
        for name, (offset, size, kind) in table.items():
            raw = block[offset:offset + size]
            value = int.from_bytes(raw, "big") if kind == "int" else (
                raw.decode("latin-1") if kind == "text" else raw.hex())
            print("%s.%s=%s" % (prefix, name, value))

    show("footer", footer, FOOTER)
    if struct.unpack_from(">I", footer, 0x3C)[0] in (3, 4):
        at = struct.unpack_from(">Q", footer, 0x10)[0]
        header = data[at:at + 1024]
        show("header", header, HEADER)
        table = struct.unpack_from(">Q", header, 0x10)[0]
        count = struct.unpack_from(">I", header, 0x1C)[0]
        for i in range(count):
            entry = struct.unpack_from(">I", data, table + 4 * i)[0]
            if entry != UNALLOCATED:
                print("bat.%d=%d" % (i, entry))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("diff", help="make a differencing image of PARENT")
    p.add_argument("parent")
    p.add_argument("child")
    p.add_argument("--block-size", type=lambda t: int(t, 0))
    p.add_argument("--locators", default="rel,abs")
    p.add_argument("--parent-name")
    p.add_argument("--absolute", help="the absolute (W2ku) path to store")
    p.set_defaults(run=cmd_diff)
    p = sub.add_parser("dynamic", help="make an empty dynamic image")
    p.add_argument("out")
    p.add_argument("size", type=lambda t: int(t, 0))
    p.add_argument("--block-size", type=lambda t: int(t, 0), default=2 << 20)
    p.set_defaults(run=cmd_dynamic)
    p = sub.add_parser("set", help="change fields")
    p.add_argument("image")
    p.add_argument("fields", nargs="+")
    p.add_argument("--keep-checksum", action="store_true")
    p.set_defaults(run=cmd_set)
    p = sub.add_parser("info", help="print fields")
    p.add_argument("image")
    p.set_defaults(run=cmd_info)
    args = parser.parse_args()
    args.run(args)


if __name__ == "__main__":
    main()
