"""The Windows build given paths the way Windows users type them: drive
letters, backslashes, a trailing backslash. Each spelling reaches the same
directories, and every message shows the path exactly as the tool formed it
(directory + "/" + name, nothing converted). Runs only against the Windows
build, under wine, where Z: is the Linux root."""
import os

import support
from support import completion, run_tool, spk


def drive_z(unix_path):
    return "Z:" + unix_path.replace("/", "\\")


SPELLINGS = [
    ("unix", lambda p: p),
    ("drive letter", drive_z),
    ("trailing backslash", lambda p: drive_z(p) + "\\"),
    ("drive letter, forward slashes", lambda p: "Z:" + p),
]

ENTRIES = [("water.hlsl", b"float4 water;\r\n"), ("sky.hlsl", b"sky")]


class WindowsPathTest(support.TempDirTestCase):
    def setUp(self):
        if not support.WINDOWS:
            self.skipTest("Windows paths need the Windows build")
        super().setUp()

    def make_dirs(self, label):
        pkg = self.path(label.replace(" ", "-").replace(",", "") + "-pkg")
        work = pkg[:-len("pkg")] + "work"
        os.mkdir(pkg)
        os.mkdir(work)
        return pkg, work

    def test_extract_writes_through_every_spelling(self):
        for label, spell in SPELLINGS:
            with self.subTest(spelling=label):
                pkg, work = self.make_dirs(label)
                with open(os.path.join(pkg, "shaders.spk"), "wb") as f:
                    f.write(spk.package(ENTRIES))
                status, out = run_tool(spell(pkg), spell(work), "extract")
                expected = "".join(
                    "Found hlsl file: '%s'\nwritten %d bytes to '%s/%s'\n" %
                    (name, len(content), spell(work), name)
                    for name, content in ENTRIES)
                self.assertEqual((status, out),
                                 (0, expected + completion("extraction")))
                for name, content in ENTRIES:
                    with open(os.path.join(work, name), "rb") as f:
                        self.assertEqual(f.read(), content)
                    pre = os.path.join(work, name[:-len(".hlsl")] + ".pre")
                    with open(pre, "rb") as f:
                        self.assertEqual(f.read(),
                                         spk.entry_header(name, len(content)))

    def test_merge_reads_and_writes_through_every_spelling(self):
        edited = b"float4 water = 1;\r\n"
        for label, spell in SPELLINGS:
            with self.subTest(spelling=label):
                pkg, work = self.make_dirs(label)
                for name, content in ENTRIES:
                    stem = os.path.join(work, name[:-len(".hlsl")])
                    with open(stem + ".pre", "wb") as f:
                        f.write(spk.entry_header(name, len(content)))
                    with open(stem + ".hlsl", "wb") as f:
                        f.write(edited if name == "water.hlsl" else content)
                status, out = run_tool(spell(pkg), spell(work), "merge")
                self.assertEqual(status, 0)
                lines = out.splitlines(keepends=True)
                self.assertEqual(lines[0], "Found 2 files\n")
                self.assertCountEqual(
                    lines[1:-2],
                    ["Merged: '%s/%s'\n" % (spell(work), name)
                     for name, _ in ENTRIES])
                self.assertEqual("".join(lines[-2:]), completion("merge"))
                with open(os.path.join(pkg, "shaders.spk"), "rb") as f:
                    merged = {name: content
                              for _, _, name, content in spk.parse(f.read())}
                self.assertEqual(merged, {"water.hlsl": edited,
                                          "sky.hlsl": b"sky"})

    def test_merge_refuses_a_name_the_code_page_cannot_spell(self):
        # Fullwidth dots and solidus: a best-fit conversion to the code page
        # would make "../up.hlsl" of them and pack a file from outside the
        # work directory. Spelt without guesses they are "???up.hlsl".
        pkg, work = self.make_dirs("fullwidth")
        outside = os.path.dirname(work)
        for folder, name in ((work, "water.hlsl"), (outside, "up.hlsl")):
            stem = os.path.join(folder, name[:-len(".hlsl")])
            with open(stem + ".pre", "wb") as f:
                f.write(spk.entry_header(name, 3))
            with open(stem + ".hlsl", "wb") as f:
                f.write(b"abc")
        with open(os.path.join(work, "\uff0e\uff0e\uff0fup.hlsl"), "wb") as f:
            f.write(b"from inside")
        status, out = run_tool(drive_z(pkg), drive_z(work), "merge")
        self.assertEqual(status, 0)
        lines = out.splitlines(keepends=True)
        self.assertEqual(lines[0], "Found 2 files\n")
        # The file system's order, whatever it is.
        self.assertCountEqual(lines[1:-2], [
            "Warning: Unsafe name, skipped: '%s/???up.hlsl'\n" % drive_z(work),
            "Merged: '%s/water.hlsl'\n" % drive_z(work)])
        self.assertEqual("".join(lines[-2:]), completion("merge"))
        with open(os.path.join(pkg, "shaders.spk"), "rb") as f:
            self.assertEqual([name for _, _, name, _ in spk.parse(f.read())],
                             ["water.hlsl"])


if __name__ == "__main__":
    support.main()
