#!/usr/bin/env python3
"""Writes the archive's README as plain text for Notepad: CRLF line ends and
no line over 100 characters. A table with a longer line becomes one list
item per row (its first cell, then each other cell under its column's
name) and a longer prose line is wrapped, both to 79 columns, which Notepad
shows whole; code blocks and short tables stay as they are, and HTML
comments go. Usage: readme_text.py README.md README.txt"""
import re
import sys
import textwrap

WIDTH = 100
WRAP = 79


def wrap(text, first, rest):
    return textwrap.wrap(text, WRAP, initial_indent=first,
                         subsequent_indent=rest, break_long_words=False,
                         break_on_hyphens=False)


def cells(row):
    return [cell.strip() for cell in row.strip().strip("|").split(" | ")]


def table(rows):
    if max(len(row) for row in rows) <= WIDTH:
        return rows
    names = cells(rows[0])
    out = []
    for row in rows[2:]:  # the header and its |---| line
        first, *rest = cells(row)
        out += wrap(first, "- ", "  ")
        for name, cell in zip(names[1:], rest):
            out += wrap("%s: %s" % (name, cell), "    ", "      ")
        out.append("")
    return out[:-1]


def render(markdown):
    out = []
    rows = []
    fenced = False
    for line in markdown.splitlines():
        if rows and not line.startswith("|"):
            out += table(rows)
            rows = []
        if line.strip().startswith("```"):
            fenced = not fenced
        if fenced or line.strip().startswith("```"):
            out.append(line)
        elif line.startswith("|"):
            rows.append(line)
        elif re.fullmatch(r"\s*<!--.*-->", line):
            continue
        elif len(line) > WIDTH:
            indent = re.match(r"\s*(- )?", line).group()
            out += wrap(line.strip(), indent, " " * len(indent))
        else:
            out.append(line)
    out += table(rows) if rows else []
    return "".join(line + "\r\n" for line in out)


if __name__ == "__main__":
    with open(sys.argv[1], encoding="utf-8") as f:
        text = render(f.read())
    with open(sys.argv[2], "w", encoding="utf-8", newline="") as f:
        f.write(text)
