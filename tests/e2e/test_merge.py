"""The shipped example package through the built tool: it is made from its
sources, survives an extraction and a merge byte for byte, and an edited
shader changes only its own entry. The merge's cases are unit tests."""
import os

import support
from support import completion, run_tool, spk

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "..", "examples")
# In the order a merge lists them, which is the order of the package's entries.
EXAMPLE_SOURCES = ["blur.hlsl", "fog.hlsl", "tonemap.hlsl", "water.hlsl"]


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

    def merge(self):
        return run_tool(self.pkg, self.work, "merge")

    def extract(self):
        return run_tool(self.pkg, self.work, "extract")

    def assert_nothing_beside_the_package(self):
        # The package a merge replaced is kept as the backup, and the first
        # one as the original.
        self.assertEqual(sorted(os.listdir(self.pkg)),
                         ["shaders.spk", "shaders.spk.bak", "shaders.spk.orig"])

    def test_example_package_is_built_from_its_sources(self):
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
