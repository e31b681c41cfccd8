#!/usr/bin/env python3
"""Make and inspect shaders.spk packages.

    spk.py build OUT.spk FILE...   one entry per file, named by its base name
    spk.py show SPK                list the entries with their sizes and
                                   words; a cut package gets one line on
                                   where it ends
    spk.py pre OUT.pre NAME [WORD0 WORD1]
                                   the pre file of a new entry NAME (words
                                   default to 0; 0x... for hexadecimal)
    spk.py diff A.spk B.spk        the entries, by name, that only one of
                                   the two packages has or that differ;
                                   status 0 equal, 1 different, 2 when a
                                   package cannot be read whole
    spk.py --help                  this text

The layout is the one the tool reads: an 8-byte header (mark, entry count),
then per entry two opaque words, the UTF-16LE name with its length in code
units, the content size and the content; all integers 32-bit little-endian.
"""
import os
import re
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


class PackageEnds(ValueError):
    """The package ends before a field it promises; the text says where."""


def parse(data):
    """Yields (word0, word1, name, content) of each entry; raises PackageEnds
    at the first field the data is too short for."""
    where = "the header"
    pos = 0

    def take(what, size):
        nonlocal pos
        left = len(data) - pos
        if left < size:
            raise PackageEnds("ends at byte %d inside %s: %s %d bytes, %d are "
                              "left" % (len(data), where, what, size, left))
        start = pos
        pos += size
        return data[start:pos]

    _, count = struct.unpack("<Ii", take("it needs", 8))
    for index in range(max(count, 0)):
        if pos == len(data):
            raise PackageEnds("ends at byte %d after %d of the %d entries "
                              "its header promises" % (pos, index, count))
        where = "entry %d of %d" % (index + 1, count)
        word0, word1, name_length = struct.unpack(
            "<IIi", take("its words and name length need", 12))
        n = max(name_length, 0)
        name = take("its name of %d units needs" % n, 2 * n).decode(
            "utf-16-le", "replace")
        where += ", %r" % name  # repr: a name may hold any character
        (size,) = struct.unpack("<i", take("its content size needs", 4))
        yield word0, word1, name, take("its content needs", max(size, 0))


def printable(name):
    """A name as one line: control characters would forge or break lines."""
    return re.sub(r"[\x00-\x1f\x7f]", lambda m: "\\x%02x" % ord(m.group()),
                  name)


def keyed(entries):
    """{(name, occurrence): (word0, word1, content)} in package order; a name
    that is there twice is paired with the other package's second one."""
    seen = {}
    result = {}
    for word0, word1, name, content in entries:
        seen[name] = seen.get(name, 0) + 1
        result[(name, seen[name])] = (word0, word1, content)
    return result


def label(key):
    name, occurrence = key
    return printable(name) + ("" if occurrence == 1 else " #%d" % occurrence)


def diff_lines(a, b):
    """The lines that tell two packages apart; none when they hold the same
    entries in the same order under the same mark. `a` and `b` are
    (path, data, entries) of two whole packages."""
    (a_path, a_data, a_entries), (b_path, b_data, b_entries) = a, b
    a_keyed = keyed(a_entries)
    b_keyed = keyed(b_entries)
    lines = []
    a_mark, b_mark = (struct.unpack_from("<I", data)[0]
                      for data in (a_data, b_data))
    if a_mark != b_mark:
        lines.append("Differ: the package mark: %08x in %s, %08x in %s" %
                     (a_mark, a_path, b_mark, b_path))
    for key, (word0, word1, content) in a_keyed.items():
        if key not in b_keyed:
            lines.append("Only in %s: %s (%d bytes)" %
                         (a_path, label(key), len(content)))
            continue
        other = b_keyed[key]
        changes = []
        if len(content) != len(other[2]):
            changes.append("%d bytes in %s, %d in %s" %
                           (len(content), a_path, len(other[2]), b_path))
        elif content != other[2]:
            changes.append("the content (%d bytes in both)" % len(content))
        for index, (mine, theirs) in enumerate(zip((word0, word1), other)):
            if mine != theirs:
                changes.append("word%d %08x in %s, %08x in %s" %
                               (index, mine, a_path, theirs, b_path))
        if changes:
            lines.append("Differ: %s: %s" % (label(key), "; ".join(changes)))
    for key, (_, _, content) in b_keyed.items():
        if key not in a_keyed:
            lines.append("Only in %s: %s (%d bytes)" %
                         (b_path, label(key), len(content)))
    if ([key for key in a_keyed if key in b_keyed] !=
            [key for key in b_keyed if key in a_keyed]):
        lines.append("Differ: the order of the entries both hold")
    return lines


def main(argv):
    if len(argv) == 2 and argv[1] in ("--help", "-h", "help"):
        sys.stdout.write(__doc__)
        return 0
    if len(argv) >= 3 and argv[1] == "build":
        entries = []
        for path in argv[3:]:
            with open(path, "rb") as f:
                entries.append((os.path.basename(path), f.read()))
        with open(argv[2], "wb") as f:
            f.write(package(entries))
        return 0
    if len(argv) in (4, 6) and argv[1] == "pre":
        try:
            words = [int(word, 0) & 0xFFFFFFFF for word in argv[4:]]
        except ValueError:
            return fail("the words are numbers, such as 7 or 0x1F: %s" %
                        " ".join(argv[4:]))
        with open(argv[2], "wb") as f:
            f.write(entry_header(argv[3], 0, *words))
        return 0
    if len(argv) == 3 and argv[1] == "show":
        with open(argv[2], "rb") as f:
            data = f.read()
        try:
            entries = list(parse(data))
        except PackageEnds as error:
            return fail(f"{argv[2]}: {error}")
        print(f"{argv[2]}: {len(entries)} entries, {len(data)} bytes")
        for word0, word1, name, content in entries:
            print(f"  {len(content):8d}  {word0:08x} {word1:08x}  "
                  f"{printable(name)}")
        return 0
    if len(argv) == 4 and argv[1] == "diff":
        packages = []
        for path in argv[2:]:
            try:
                with open(path, "rb") as f:
                    data = f.read()
                packages.append((path, data, list(parse(data))))
            except OSError as error:
                return fail(f"{path}: {error.strerror or error}", 2)
            except PackageEnds as error:
                return fail(f"{path}: {error}", 2)
        lines = diff_lines(*packages)
        for line in lines:
            print(line)
        return 1 if lines else 0
    sys.stderr.write(__doc__)
    return 2


def fail(message, status=1):
    sys.stderr.write(f"spk.py: {message}\n")
    return status


if __name__ == "__main__":
    # A name the console's code page cannot spell is shown escaped, not a
    # traceback.
    sys.stdout.reconfigure(errors="backslashreplace")
    try:
        status = main(sys.argv)
        sys.stdout.flush()
    except OSError as error:
        if not isinstance(error, BrokenPipeError):
            where = "" if error.filename is None else f"{error.filename}: "
            sys.exit(fail(where + (error.strerror or str(error))))
        # The reader stopped early (`| head`): end quietly. Python would
        # flush stdout again on exit and complain, so it goes to devnull.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        status = 1
    sys.exit(status)
