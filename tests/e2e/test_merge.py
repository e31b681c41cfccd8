"""The shipped example package is made from its sources (the README's
sessions run the tool on it), and what one failed system call of a merge
or an extraction leaves. The merge's other cases are unit tests."""
import os
import shutil

import support
from support import completion, run_tool, spk

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "..", "examples")
# In the order a merge lists them, which is the order of the package's entries.
EXAMPLE_SOURCES = ["blur.hlsl", "fog.hlsl", "tonemap.hlsl", "water.hlsl"]


class MergeTest(support.TempDirTestCase):
    def test_example_package_is_built_from_its_sources(self):
        sources = self.files(os.path.join(EXAMPLES, "src"))
        self.assertEqual(sorted(sources), sorted(EXAMPLE_SOURCES))
        self.assertEqual(self.read(os.path.join(EXAMPLES, "shaders.spk")),
                         spk.package([(name, sources[name])
                                      for name in EXAMPLE_SOURCES]),
                         "run examples/build-package.sh")

    def test_one_failed_call_is_reported(self):
        why = support.trace_refused()
        if why:
            self.skipTest(why)
        old = {"pkg/shaders.spk": spk.package([("old.hlsl", b"user's")])}
        a, b = ("a.hlsl", b"float a;"), ("b.hlsl", b"float bb;")
        big = ("big.hlsl", bytes(range(250)) * 400)  # two reads of the package
        pkg = self.path("pkg", "shaders.spk")

        def work(name):
            # The tool joins with "/" whatever the platform.
            return self.path("work") + "/" + name
        pair = dict(old, **{"work/a.hlsl": a[1], "work/b.hlsl": b[1],
                            "work/a.pre": spk.entry_header("a.hlsl", 99)})
        pairs = dict(pair, **{"work/b.pre": spk.entry_header("b.hlsl", 99)})
        extraction = {"pkg/shaders.spk": spk.package([big, a])}
        replaced = dict(pairs, **{"pkg/shaders.spk": spk.package([a, b]),
                                  "pkg/shaders.spk.bak": old["pkg/shaders.spk"],
                                  "pkg/shaders.spk.orig": old["pkg/shaders.spk"]})
        merged = "Found 2 files\nMerged: '%s'\nMerged: '%s'\n" % (
            work("a.hlsl"), work("b.hlsl"))
        # Said of the old package whenever the new one is written whole.
        lost = merged + ("Warning: The package loses 1 of its 1 entries, the "
                         "first 'old.hlsl'; see \"A game update\" in the "
                         "README\n")
        rofs = ("Cause: the drive or file system is read-only; copy the game "
                "somewhere writable or remount it.\n")
        # mode, the file the fault is counted on (None: any), strace's fault,
        # the files before, the lines printed, the files after.
        cases = [
            ("merge", self.path("work"), "getdents64:error=EIO:when=1", pairs,
             "Failed enumerating files\n", pairs),
            # The count written first is one too many: b.pre is missing.
            # The entries go out in one write, the count in the second.
            ("merge", None, "pwrite64:error=EIO:when=2", pair,
             "Found 2 files\nMerged: '%s'\nWarning: Could not open: '%s'\n"
             "Could not write to '%s'\nCause: the package or the folder "
             "could not be read or written (an I/O error).\n"
             % (work("a.hlsl"), work("b.pre"), pkg), pair),
            ("merge", self.path("pkg"), "fsync:error=EIO:when=1", pairs,
             lost + "Warning: Could not sync '%s'\n" % pkg, replaced),
            # A file system that cannot sync a folder says so: no warning.
            ("merge", self.path("pkg"), "fsync:error=EOPNOTSUPP:when=1", pairs,
             lost, replaced),
            # A game or a virus scanner holds the package.
            ("merge", None, "rename:error=EBUSY:when=1", pairs,
             lost + "Could not write to '%s'\nCause: another program holds "
             "the package (the game or a virus scanner); close it and merge "
             "again.\n" % pkg, pairs),
            ("merge", None, "rename:error=EROFS:when=1", pairs,
             lost + "Could not write to '%s'\n" % pkg + rofs, pairs),
            # A link put in the package's place after it was looked at.
            ("merge", pkg, "openat:error=ELOOP:when=1", pairs,
             "Found 2 files\nCould not open '%s'\nCause: shaders.spk is a link "
             "that leads to no file; fix the link or give the folder that "
             "holds the package.\n" % pkg, pairs),
            # A shader or pre file that cannot be read whole is left out.
            ] + [("merge", work(name), "pread64:error=EIO", pairs,
                  "Found 2 files\nMerged: '%s'\nWarning: Could not read, "
                  "skipped: '%s'\n" % (work("a.hlsl"), work(name)) +
                  lost[lost.index("Warning"):],
                  dict(replaced, **{"pkg/shaders.spk": spk.package([a])}))
                 for name in ("b.hlsl", "b.pre")] + [
            # A full disk at the header's write: no entry is built after it.
            ("merge", None, "pwrite64:error=ENOSPC:when=1", pairs,
             "Found 2 files\nCould not write to '%s'\nCause: the disk is full; free "
             "some space and merge again.\n" % pkg, pairs),
            # A file system without locks: the merge goes on.
            ("merge", None, "flock:error=ENOLCK", pairs, lost, replaced),
            # The next write of the same file succeeds: big.hlsl is still
            # removed, and the next entry extracted.
            ("extract", work("big.hlsl"), "pwrite64:error=EIO:when=1", extraction,
             "Found hlsl file: 'big.hlsl'\nCould not write to '%s'\n"
             "Found hlsl file: 'a.hlsl'\nwritten 8 bytes to '%s'\n"
             % (work("big.hlsl"), work("a.hlsl")),
             dict(extraction, **{
                 "work/a.hlsl": a[1],
                 "work/a.pre": spk.entry_header("a.hlsl", 8),
                 "work/big.pre": spk.entry_header("big.hlsl", len(big[1]))})),
        ] + [
            # The package may not be opened here; on a read-only drive it
            # is not rewritten in place either.
            ("merge", pkg, "openat:error=" + refused, pairs,
             "Found 2 files\nCould not open '%s'\nCause: %s\n" % (pkg, why),
             pairs) for refused, why in (
                ("EACCES", "this user may not replace the package or give "
                 "its copies the same permissions; check its permissions."),
                ("EROFS", rofs.strip()[len("Cause: "):]),
                ("ENXIO", "shaders.spk is not a regular file (a folder or "
                 "a device); give the folder that holds the package."))]
        for mode, path, inject, before, out, after in cases:
            with self.subTest(inject=inject):
                for folder in ("pkg", "work"):
                    shutil.rmtree(self.path(folder), True)
                    os.mkdir(self.path(folder))
                for name, content in before.items():
                    self.write(name, content)
                done = "merge" if mode == "merge" else "extraction"
                self.assertEqual(support.run_injected(
                    path, inject, self.path("pkg"), self.path("work"), mode),
                    (0, out + completion(done)))
                self.assertEqual({folder + "/" + name: content
                                  for folder in ("pkg", "work")
                                  for name, content in
                                  self.files(folder).items()}, after)


if __name__ == "__main__":
    support.main()
