"""Merging a work directory back into shaders.spk through the built tool: its
lines, the package it writes, the package it keeps when it must not write,
and round trips of the shipped example package through extraction."""
import os
import shutil

import support
from support import completion, run_tool, spk

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "..", "examples")
# In the order a merge lists them, which is the order of the package's entries.
EXAMPLE_SOURCES = ["blur.hlsl", "fog.hlsl", "tonemap.hlsl", "water.hlsl"]


def listing_order(names):
    """a-z folded to A-Z, names equal under the fold by their plain bytes."""
    return sorted(names, key=lambda n: (n.encode().upper(), n.encode()))


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


class MergeTest(support.TempDirTestCase):
    def setUp(self):
        super().setUp()
        self.pkg = self.path("pkg")
        self.work = self.path("work")
        os.mkdir(self.pkg)
        os.mkdir(self.work)

    def package_path(self):
        return os.path.join(self.pkg, "shaders.spk")

    def work_path(self, name):
        # The tool joins with "/" whatever the platform.
        return self.work + "/" + name

    def add_entry(self, name, content, word0=0, word1=0):
        """A shader file and a pre file whose size field is out of date."""
        write(self.work_path(name), content)
        write(self.work_path(name[:-5] + ".pre"),
              spk.entry_header(name, 9999, word0, word1))

    def merge(self):
        return run_tool(self.pkg, self.work, "merge")

    def extract(self):
        return run_tool(self.pkg, self.work, "extract")

    def assert_nothing_beside_the_package(self):
        self.assertEqual(os.listdir(self.pkg), ["shaders.spk"])

    def test_rebuilds_the_package_in_listing_order(self):
        entries = [("b.hlsl", b"b" * 140, 1, 2),
                   ("A.hlsl", b"a" * 100, 0xFFFFFFFF, 0x80000000)]
        for entry in entries:
            self.add_entry(*entry)
        write(self.package_path(), b"old")
        status, out = self.merge()
        self.assertEqual(status, 0)
        self.assertEqual(out, "Found 2 files\n"
                         "Merged: '%s'\n"
                         "Merged: '%s'\n" % (self.work_path("A.hlsl"),
                                             self.work_path("b.hlsl"))
                         + completion("merge"))
        self.assertEqual(read(self.package_path()),
                         spk.package([entries[1], entries[0]]))
        self.assert_nothing_beside_the_package()

    def test_refused_or_failed_merge_keeps_the_old_package(self):
        old = spk.package([("x.hlsl", b"kept")])
        cases = [
            ("odd count", "Found 1 files\n"
             "Expected an even number of files in work path, aborting\n"
             "Failed enumerating files\n"),
            ("missing work directory", "Failed enumerating files\n"),
        ]
        for what, lines in cases:
            with self.subTest(what):
                write(self.package_path(), old)
                shutil.rmtree(self.work)
                if what == "odd count":
                    os.mkdir(self.work)
                    self.add_entry("a.hlsl", b"a")
                status, out = self.merge()
                self.assertEqual((status, out), (0, lines + completion("merge")))
                self.assertEqual(read(self.package_path()), old)
                self.assert_nothing_beside_the_package()

    def test_example_package_is_built_from_its_sources(self):
        self.assertEqual(listing_order(EXAMPLE_SOURCES), EXAMPLE_SOURCES)
        self.assertEqual(len(EXAMPLE_SOURCES) % 2, 0)
        sources = os.path.join(EXAMPLES, "src")
        self.assertEqual(sorted(os.listdir(sources)), sorted(EXAMPLE_SOURCES))
        entries = [(name, read(os.path.join(sources, name)))
                   for name in EXAMPLE_SOURCES]
        self.assertEqual(read(os.path.join(EXAMPLES, "shaders.spk")),
                         spk.package(entries),
                         "run examples/build-package.sh")

    def test_example_package_round_trips(self):
        example = read(os.path.join(EXAMPLES, "shaders.spk"))
        write(self.package_path(), example)
        self.extract()
        status, out = self.merge()
        self.assertEqual(status, 0)
        self.assertEqual(out, "Found 4 files\n" + "".join(
            "Merged: '%s'\n" % self.work_path(name)
            for name in EXAMPLE_SOURCES) + completion("merge"))
        self.assertEqual(read(self.package_path()), example)
        self.assert_nothing_beside_the_package()

    def test_edited_shader_changes_only_its_size_and_content(self):
        example = read(os.path.join(EXAMPLES, "shaders.spk"))
        write(self.package_path(), example)
        self.extract()
        edited = read(self.work_path("water.hlsl")).replace(
            b"WaveScale = 0.25;", b"WaveScale = 0.6;  // storm level")
        write(self.work_path("water.hlsl"), edited)
        self.merge()
        expected = [(name, edited if name == "water.hlsl" else content)
                    for _, _, name, content in spk.parse(example)]
        self.assertEqual(read(self.package_path()), spk.package(expected))


if __name__ == "__main__":
    support.main()
