#!/usr/bin/env python3
"""Make and inspect shaders.spk packages.

    spk.py build OUT.spk FILE...   one entry per file, named by its base name
    spk.py show SPK                list the entries with their sizes

The layout is the one the tool reads: an 8-byte header (mark, entry count),
then per entry two opaque words, the UTF-16LE name with its length in code
units, the content size and the content; all integers 32-bit little-endian.
"""
import os
import struct
import sys


def entry_header(name, content_size, word0=0, word1=0, name_length=None):
    """The entry header bytes, as a pre file holds them.

    `name` is a str (encoded UTF-16LE) or raw bytes already encoded.
    """
    raw = name if isinstance(name, bytes) else name.encode("utf-16-le")
    if name_length is None:
        name_length = len(raw) // 2
    return (struct.pack("<IIi", word0, word1, name_length) + raw +
            struct.pack("<i", content_size))


def entry(name, content, word0=0, word1=0):
    return entry_header(name, len(content), word0, word1) + content


def package(entries, count=None, mark=1):
    """entries: (name, content) or (name, content, word0, word1) tuples."""
    body = b"".join(entry(*e) for e in entries)
    if count is None:
        count = len(entries)
    return struct.pack("<Ii", mark, count) + body


def parse(data):
    """Yields (word0, word1, name, content) of a well-formed package."""
    mark, count = struct.unpack_from("<Ii", data, 0)
    pos = 8
    for _ in range(max(count, 0)):
        word0, word1, name_length = struct.unpack_from("<IIi", data, pos)
        pos += 12
        n = max(name_length, 0)
        name = data[pos:pos + 2 * n].decode("utf-16-le", "replace")
        pos += 2 * n
        (size,) = struct.unpack_from("<i", data, pos)
        pos += 4
        size = max(size, 0)
        yield word0, word1, name, data[pos:pos + size]
        pos += size


def main(argv):
    if len(argv) >= 3 and argv[1] == "build":
        entries = []
        for path in argv[3:]:
            with open(path, "rb") as f:
                entries.append((os.path.basename(path), f.read()))
        with open(argv[2], "wb") as f:
            f.write(package(entries))
        return 0
    if len(argv) == 3 and argv[1] == "show":
        with open(argv[2], "rb") as f:
            data = f.read()
        entries = list(parse(data))
        print(f"{argv[2]}: {len(entries)} entries, {len(data)} bytes")
        for _, _, name, content in entries:
            print(f"  {len(content):8d}  {name}")
        return 0
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
