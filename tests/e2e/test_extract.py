"""Extraction as a user runs it: the lines printed, the files written, and
what a package that is cut short or missing leaves behind. The finer cases
are unit tests."""
import os
import re
import subprocess
import sys

import support
from support import completion, run_tool, spk


class ExtractTest(support.TempDirTestCase):
    def setUp(self):
        super().setUp()
        os.mkdir(self.path("work"))
        self.write("beside.hlsl", b"keep")

    def extract(self, package):
        self.write("shaders.spk", package)
        status, out = run_tool(self.tmp, self.path("work"), "extract")
        self.assertEqual(status, 0)
        self.assertTrue(out.endswith(completion("extraction")), out)
        self.assertEqual(self.read("beside.hlsl"), b"keep")
        self.assertEqual(sorted(os.listdir(self.tmp)),
                         ["beside.hlsl", "shaders.spk", "work"])
        return out[:-len(completion("extraction"))]

    def show(self, package_path):
        """spk.py show on a package: (status, standard error)."""
        proc = subprocess.run([sys.executable, spk.__file__, "show",
                               package_path], capture_output=True, text=True)
        return proc.returncode, proc.stderr

    def work_files(self):
        return {name: self.read(os.path.join("work", name))
                for name in os.listdir(self.path("work"))}

    def test_entries_become_shader_and_pre_files(self):
        large = bytes(range(256)) * (12 * 1024 + 1)  # 3 MiB and a bit
        package = spk.package([("water.hlsl", b"float4 x;", 9, 3),
                               ("large.hlsl", large)])
        out = self.extract(package)
        work = self.path("work")
        self.assertEqual(
            out,
            "Found hlsl file: 'water.hlsl'\n"
            "written 9 bytes to '%s/water.hlsl'\n"
            "Found hlsl file: 'large.hlsl'\n"
            "written %d bytes to '%s/large.hlsl'\n" % (work, len(large), work))
        self.assertEqual(self.work_files(), {
            "water.hlsl": b"float4 x;",
            "water.pre": spk.entry_header("water.hlsl", 9, 9, 3),
            "large.hlsl": large,
            "large.pre": spk.entry_header("large.hlsl", len(large)),
        })

    def test_cut_package_keeps_whole_entries_and_says_where_it_stopped(self):
        first = ("first.hlsl", b"0123456789")
        package = spk.package([first, ("second.hlsl", b"abcdef")])
        stop = ("Package ends early, stopping: '%s'\n"
                % self.path("shaders.spk"))
        whole = len(spk.package([first]))
        for length in (0, 5, whole, whole + 20, len(package) - 1):
            with self.subTest(length=length):
                for name in os.listdir(self.path("work")):
                    os.remove(self.path("work", name))
                out = self.extract(package[:length])
                self.assertTrue(out.endswith(stop), out)
                whole_first = {"first.hlsl", "first.pre"}
                self.assertEqual(set(self.work_files()),
                                 whole_first if length >= whole else set())
                self.assertNotIn(b"\xff", b"".join(self.work_files().values()))
                # spk.py names the same cut in one line.
                cut = self.path("shaders.spk")
                status, err = self.show(cut)
                self.assertEqual(status, 1)
                self.assertRegex(err, r"\Aspk\.py: %s: ends at byte %d\D.*\n\Z"
                                 % (re.escape(cut), length))

    def test_missing_package(self):
        status, out = run_tool(self.path("nowhere"), self.path("work"),
                               "extract")
        message = ("could not open shaders.spk: '%s'\n"
                   % self.path("nowhere", "shaders.spk"))
        self.assertEqual((status, out),
                         (0, message + completion("extraction")))
        status, err = self.show(self.path("nowhere", "shaders.spk"))
        self.assertEqual(status, 1)
        self.assertRegex(err, r"\Aspk\.py: %s: .*\n\Z" %
                         re.escape(self.path("nowhere", "shaders.spk")))


if __name__ == "__main__":
    support.main()
