#!/usr/bin/env python3
"""Fails when README.md or docs/DEVELOPING.md names a repository path that
does not exist: a word that starts with one of the repository's top-level
folders (tools/demo.sh, tests/fuzz/regressions/<target>/), or a link's
target. A <placeholder> stands for any one name. Usage: check_doc_paths.py
[ROOT]"""
import glob
import os
import re
import sys

DOCS = ["README.md", "docs/DEVELOPING.md"]


def missing_paths(root):
    folders = sorted(name for name in os.listdir(root)
                     if os.path.isdir(os.path.join(root, name))
                     and not name.startswith(("build", ".git")))
    word = re.compile(r"(?<![\w./~-])((?:%s)/[\w./<>*-]*)" %
                      "|".join(re.escape(name) for name in folders))
    link = re.compile(r"\]\(([^)#\s:]+)\)")
    missing = []
    for doc in DOCS:
        with open(os.path.join(root, doc), encoding="utf-8") as f:
            lines = f.read().splitlines()
        for number, line in enumerate(lines, 1):
            named = [(path, root) for path in word.findall(line)]
            named += [(path, os.path.join(root, os.path.dirname(doc)))
                      for path in link.findall(line)]
            for path, base in named:
                path = path.rstrip(".,;:")
                pattern = re.sub(r"<[^>]*>", "*", path)
                if not glob.glob(os.path.join(base, pattern)):
                    missing.append("%s:%d: no such path: %s" %
                                   (doc, number, path))
    return missing


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..")
    missing = missing_paths(root)
    for line in missing:
        print(line, file=sys.stderr)
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
