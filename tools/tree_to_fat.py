#!/usr/bin/env python3
"""Fills a FAT partition file with file tree descriptions through the mtools,
so that a FAT sample is built by tools that share no code with Morlit.

    tree_to_fat.py PARTITION TREE...

The descriptions are those of tools/mkimage.cpp (dir, file, copy, attr,
include; paths with backslashes, in double quotes when they hold spaces).
"""
import os
import subprocess
import sys
import tempfile

ENV = dict(os.environ, MTOOLS_SKIP_CHECK="1")


def unescape(text):
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            i += 1
            c = {"n": "\n", "r": "\r", "t": "\t"}.get(text[i], text[i])
        out.append(c)
        i += 1
    return "".join(out)


def split_entry(line):
    """verb, path, rest - as mkimage splits a line; None for blanks/comments."""
    line = line.lstrip(" \t")
    if not line or line.startswith("#"):
        return None
    verb, _, line = line.partition(" ")
    line = line.lstrip(" \t")
    if line.startswith('"'):
        end = line.find('"', 1)
        end = len(line) if end < 0 else end
        path, rest = line[1:end], line[end + 2:]
    else:
        path, _, rest = line.partition(" ")
    return verb, path, rest


def mtools(*args):
    subprocess.run(list(args), check=True, env=ENV, stdout=subprocess.DEVNULL)


class Filler:
    def __init__(self, image, work):
        self.image, self.work, self.made = image, work, set()

    def target(self, path):
        return "::/" + "/".join(p for p in path.split("\\") if p)

    def folder(self, path):
        parts = [p for p in path.split("\\") if p]
        for n in range(1, len(parts) + 1):
            key = "/".join(parts[:n]).upper()
            if key not in self.made:
                self.made.add(key)
                mtools("mmd", "-D", "s", "-i", self.image, "::/" + "/".join(parts[:n]))

    def put(self, path, data):
        self.folder("\\".join(path.split("\\")[:-1]))
        host = os.path.join(self.work, "content")
        with open(host, "wb") as f:
            f.write(data)
        mtools("mcopy", "-o", "-i", self.image, host, self.target(path))

    def apply(self, tree):
        base = os.path.dirname(os.path.abspath(tree))
        with open(tree, encoding="utf-8") as f:
            for line in f:
                entry = split_entry(line.rstrip("\r\n"))
                if not entry:
                    continue
                verb, path, rest = entry
                if verb == "dir":
                    self.folder(path)
                elif verb == "file":
                    self.put(path, unescape(rest).encode("latin-1"))
                elif verb == "copy":
                    host = rest.strip()
                    with open(os.path.join(base, host), "rb") as src:
                        self.put(path, src.read())
                elif verb == "attr":
                    flags = {"readonly": "+r", "hidden": "+h", "system": "+s", "archive": "+a"}
                    args = [flags[f] for f in rest.strip().split(",") if f in flags]
                    mtools("mattrib", "-i", self.image, *args, self.target(path))
                elif verb == "include":
                    self.apply(os.path.join(base, path))
                else:
                    sys.exit("tree_to_fat: unknown entry %s in %s" % (verb, tree))


def main():
    if len(sys.argv) < 3:
        sys.exit("usage: tree_to_fat.py PARTITION TREE...")
    with tempfile.TemporaryDirectory() as work:
        filler = Filler(sys.argv[1], work)
        for tree in sys.argv[2:]:
            filler.apply(tree)


if __name__ == "__main__":
    main()
