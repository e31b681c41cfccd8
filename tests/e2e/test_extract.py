"""A package cut short or missing, extracted as a user runs it, and what
spk.py says of such packages and of two that differ. The finer cases are
unit tests."""
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

    def spk_py(self, *args, cwd=None):
        """spk.py as a user runs it: (status, standard output, standard
        error)."""
        proc = subprocess.run([sys.executable, spk.__file__] + list(args),
                              capture_output=True, text=True, cwd=cwd)
        return proc.returncode, proc.stdout, proc.stderr

    def cut_reports(self, cut):
        """The standard error of spk.py show on a cut package, and of diff
        with it on either side of a whole one: show fails with status 1,
        diff with 2, neither prints a line on standard output."""
        whole = self.path("work", "whole.spk")
        with open(whole, "wb") as f:
            f.write(spk.package([]))
        errors = []
        for args, status in ((["show", cut], 1), (["diff", cut, whole], 2),
                             (["diff", whole, cut], 2)):
            code, out, err = self.spk_py(*args)
            self.assertEqual((code, out), (status, ""), args)
            errors.append(err)
        os.remove(whole)
        return errors

    def test_cut_package_says_where_it_stopped(self):
        first = ("first.hlsl", b"0123456789")
        package = spk.package([first, ("second.hlsl", b"abcdef")])
        stop = ("Package ends early, stopping: '%s'\n"
                % self.path("shaders.spk"))
        whole = len(spk.package([first]))
        for length in (0, 5, whole, whole + 20, len(package) - 1):
            with self.subTest(length=length):
                # The work files of every cut: PackageCutAtEveryLength.
                out = self.extract(package[:length])
                self.assertTrue(out.endswith(stop), out)
                # spk.py names the same cut in one line.
                cut = self.path("shaders.spk")
                for err in self.cut_reports(cut):
                    self.assertRegex(
                        err, r"\Aspk\.py: %s: ends at byte %d\D.*\n\Z" %
                        (re.escape(cut), length))

    def test_missing_package(self):
        status, out = run_tool(self.path("nowhere"), self.path("work"),
                               "extract")
        message = ("could not open shaders.spk: '%s'\n"
                   % self.path("nowhere", "shaders.spk"))
        self.assertEqual((status, out),
                         (0, message + completion("extraction")))
        missing = self.path("nowhere", "shaders.spk")
        for err in self.cut_reports(missing):
            self.assertRegex(err, r"\Aspk\.py: %s: .*\n\Z" %
                             re.escape(missing))

    def test_spk_diff_names_what_differs(self):
        old = [("blur.hlsl", b"blur", 1, 2), ("fog.hlsl", b"fog")]
        self.write("a", spk.package(old))
        # The entries (or bytes) of package b, what `diff a b` prints.
        cases = [
            (old, []),
            (old + [("sky.hlsl", b"sky")], ["Only in b: sky.hlsl (3 bytes)"]),
            (old[:1], ["Only in a: fog.hlsl (3 bytes)"]),
            ([old[0], ("fog.hlsl", b"mist")],
             ["Differ: fog.hlsl: 3 bytes in a, 4 in b"]),
            ([old[0], ("fog.hlsl", b"FOG")],
             ["Differ: fog.hlsl: the content (3 bytes in both)"]),
            ([("blur.hlsl", b"blur", 1, 7), old[1]],
             ["Differ: blur.hlsl: word1 00000002 in a, 00000007 in b"]),
            (old + [("a\nb.hlsl", b"")],
             ["Only in b: a\\x0ab.hlsl (0 bytes)"]),
            (old + [("fog.hlsl", b"")], ["Only in b: fog.hlsl #2 (0 bytes)"]),
            (old[::-1], ["Differ: the order of the entries both hold"]),
            (spk.package(old, mark=0),
             ["Differ: the package mark: 00000001 in a, 00000000 in b"]),
        ]
        for entries, lines in cases:
            with self.subTest(lines=lines):
                self.write("b", entries if isinstance(entries, bytes)
                           else spk.package(entries))
                self.assertEqual(
                    self.spk_py("diff", "a", "b", cwd=self.tmp),
                    (1 if lines else 0, "".join(line + "\n" for line in lines),
                     ""))


if __name__ == "__main__":
    support.main()
