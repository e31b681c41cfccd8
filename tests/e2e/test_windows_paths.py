"""The Windows build given paths as Windows users type them (drive letters,
backslashes, \\?\\, past 260 characters, names outside ASCII), and a
package another program holds. Messages show the path as the tool formed it,
in the ANSI code page. Under wine, where Z: is the Linux root."""
import os
import shutil
import subprocess
import sys

import support
from support import completion, run_tool, spk

# tests/support/hold_file.exe, which CTest names with --hold-file.
HOLD_FILE = None


def drive_z(unix_path):
    return "Z:" + unix_path.replace("/", "\\")


def extended(unix_path):
    r"""The \\?\ form, in which "/" is no separator."""
    return "\\\\?\\" + drive_z(unix_path)


# Folders deep enough that every path under them passes 260 characters, the
# package's too, as a Steam library a few folders down with a long mod name
# would.
DEEP = os.path.join(*["a-mod-with-a-rather-long-name-%d" % i
                     for i in range(8)])

# (label, spelling, folders between the test's directory and the package and
# work directories)
SPELLINGS = [
    ("unix", lambda p: p, ""),
    ("drive letter", drive_z, ""),
    ("trailing backslash", lambda p: drive_z(p) + "\\", ""),
    ("drive letter, forward slashes", lambda p: "Z:" + p, ""),
    ("over 260 characters", drive_z, DEEP),
    ("over 260, trailing backslash", lambda p: drive_z(p) + "\\", DEEP),
    ("extended", extended, ""),
    ("extended, trailing backslash", lambda p: extended(p) + "\\", ""),
    ("extended, over 260 characters", extended, DEEP),
    # Windows-1252, wine's code page in the C and English locales; printed
    # as its bytes, which the suite reads as Latin-1.
    ("ANSI", drive_z, "Spiele f\u00fcr J\u00fcrgen"),
    # Outside that code page: reached as typed, printed with '?' for what
    # it cannot spell.
    ("Japanese", drive_z, "\u5c71\u7530"),
    ("Polish", drive_z, "\u0141\u00f3d\u017a"),
    ("Greek", drive_z, "\u0395\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba\u03ac"),
    ("over 260, Japanese", drive_z, os.path.join(DEEP, "\u5c71\u7530")),
    # A fullwidth quotation mark and reverse solidus, which the ANSI command
    # line best-fits to '"' and '\\' and so splits differently.
    ("fullwidth quote", drive_z, "say\uff02hi\uff3c there"),
]


def ansi(text):
    """What the tool prints for `text` into a pipe: Windows-1252, '?' for
    a character it lacks, read back as Latin-1 like all of its output."""
    return text.encode("cp1252", "replace").decode("latin-1")

ENTRIES = [("water.hlsl", b"float4 water;\r\n"), ("sky.hlsl", b"sky")]
# The files an extraction of ENTRIES writes.
EXTRACTED = dict(ENTRIES)
EXTRACTED.update((name[:-5] + ".pre", spk.entry_header(name, len(content)))
                 for name, content in ENTRIES)


class WindowsPathTest(support.TempDirTestCase):
    def setUp(self):
        if not support.WINDOWS:
            self.skipTest("Windows paths need the Windows build")
        super().setUp()

    def make_dirs(self, label, deep=""):
        base = self.path(label.replace(" ", "-").replace(",", ""), deep)
        pkg = os.path.join(base, "pkg")
        work = os.path.join(base, "work")
        os.makedirs(pkg)
        os.mkdir(work)
        if deep.startswith(DEEP):
            self.assertGreater(len(drive_z(pkg) + "/shaders.spk"), 260)
        return pkg, work

    def write_work(self, work, entries):
        for name, content in entries:
            stem = os.path.join(work, name[:-len(".hlsl")])
            self.write(stem + ".pre", spk.entry_header(name, len(content)))
            self.write(stem + ".hlsl", content)

    def assert_merged(self, out, work, names, lost="old.hlsl", after=""):
        lines = out.splitlines(keepends=True)
        tail = len((after + completion("merge")).splitlines())
        self.assertEqual(lines[0], "Found %d files\n" % len(names))
        # The file system's order, whatever it is; the package replaced
        # held only `lost`, if anything was.
        self.assertCountEqual(lines[1:-tail], [
            "Merged: '%s/%s'\n" % (work, name) for name in names] + [
            "Warning: The package loses 1 of its 1 entries, the first "
            "'%s'; see \"A game update\" in the README\n" % lost] * bool(lost))
        self.assertEqual("".join(lines[-tail:]), after + completion("merge"))

    def assert_replaced(self, pkg, entries, old):
        """The package holds `entries`, in the file system's order; the one
        it replaced is the backup and, the first replaced, kept for good
        (names longer than the package's)."""
        files = self.files(pkg)
        self.assertEqual({name: content for _, _, name, content in
                          spk.parse(files.pop("shaders.spk"))}, dict(entries))
        self.assertEqual(files, {"shaders.spk.bak": old,
                                 "shaders.spk.orig": old})

    def test_extract_and_merge_through_every_spelling(self):
        edited = b"float4 water = 1;\r\n"
        old = spk.package(ENTRIES)
        for label, spell, deep in SPELLINGS:
            with self.subTest(spelling=label):
                pkg, work = self.make_dirs(label, deep)
                self.write(os.path.join(pkg, "shaders.spk"), old)
                status, out = run_tool(spell(pkg), spell(work), "extract")
                expected = "".join(
                    "Found hlsl file: '%s'\nwritten %d bytes to '%s/%s'\n" %
                    (name, len(content), ansi(spell(work)), name)
                    for name, content in ENTRIES)
                self.assertEqual((status, out),
                                 (0, expected + completion("extraction")))
                self.assertEqual(self.files(work), EXTRACTED)
                self.write(os.path.join(work, "water.hlsl"), edited)
                status, out = run_tool(spell(pkg), spell(work), "merge")
                self.assertEqual(status, 0)
                self.assert_merged(out, ansi(spell(work)),
                                   [name for name, _ in ENTRIES], None)
                self.assert_replaced(pkg, [("water.hlsl", edited),
                                           ("sky.hlsl", b"sky")], old)

    def test_work_files_named_outside_the_code_page(self):
        # Hand-made work files are listed and merged under their own names;
        # an entry whose name has code units above 255 extracts under its
        # working name (the low bytes: U+5C71 U+7530 give "q0") and merges
        # back under its full name. Both round trips give the package back
        # byte for byte, and the backup is the package the merge replaced.
        names = ["\u5c71\u7530.hlsl", "\u0141\u00f3d\u017a.hlsl",
                 "\u0395\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba\u03ac.hlsl",
                 "sky.hlsl"]
        entries = [(name, ("// %d\r\n" % i).encode()) for i, name in
                   enumerate(names)]
        cases = [
            # (label, files the extraction writes, as the suite names them)
            ("hand-made", None),
            ("from the package", ["q0", "A\u00f3dz", "\u2022\u00bb\u00bb\u00b7\u00bd\u00b9\u00ba"
                                  "\u00ac", "sky"]),
        ]
        for label, stems in cases:
            with self.subTest(work_files=label):
                pkg, work = self.make_dirs(label)
                old = spk.package(entries if stems else [("old.hlsl", b"old")])
                self.write(os.path.join(pkg, "shaders.spk"), old)
                if stems is None:
                    self.write_work(work, entries)
                    listed = names
                else:
                    status, out = run_tool(drive_z(pkg), drive_z(work),
                                           "extract")
                    self.assertEqual(status, 0)
                    self.assertEqual(
                        sorted(self.files(work)),
                        sorted([s + ".hlsl" for s in stems] +
                               [s + ".pre" for s in stems]))
                    listed = [s + ".hlsl" for s in stems]
                status, out = run_tool(drive_z(pkg), drive_z(work), "merge")
                self.assertEqual(status, 0)
                self.assert_merged(out, drive_z(work),
                                   [ansi(name) for name in listed],
                                   stems is None and "old.hlsl")
                files = self.files(pkg)
                self.assertEqual(files["shaders.spk.bak"], old)
                merged = list(spk.parse(files["shaders.spk"]))
                self.assertCountEqual(
                    [(name, content) for _, _, name, content in merged],
                    entries)
                # Byte for byte, in the order the listing gave.
                order = [name for _, _, name, _ in merged]
                self.assertEqual(files["shaders.spk"], spk.package(
                    sorted(entries, key=lambda e: order.index(e[0]))))

    def test_readme_batch_file_example(self):
        # The README's worked example, in the OEM code page wine's cmd reads
        # a batch file in, without the chcp line as the README says.
        readme = os.path.join(os.path.dirname(__file__), "..", "..",
                              "README.md")
        with open(readme, encoding="utf-8") as f:
            text = f.read()
        block = text.split("in code page 437: extract.bat -->", 1)[1]
        block = block.split("```bat\n", 1)[1].split("```", 1)[0]
        lines = [line[2:] for line in block.splitlines()]
        self.assertIn("chcp 65001 >nul", lines)
        oem = [line for line in lines if line != "chcp 65001 >nul"]
        base = self.path("batch")
        package = os.path.join(base, "Spiele f\u00fcr J\u00fcrgen")
        os.makedirs(package)
        os.mkdir(os.path.join(base, "Mods f\u00fcr J\u00fcrgen"))
        self.write(os.path.join(package, "shaders.spk"), spk.package(ENTRIES))
        shutil.copy(support.BINARY, os.path.join(base, "Quillmere.exe"))
        bat = os.path.join(base, "extract.bat")
        self.write(bat, "\r\n".join(oem).encode("cp437") + b"\r\n")
        proc = subprocess.run(support.RUNNER + ["cmd", "/c", drive_z(bat)],
                              input=b"\n", stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=60)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(
            self.files(os.path.join(base, "Mods f\u00fcr J\u00fcrgen")),
            EXTRACTED)

    def test_merge_lists_an_empty_drive_root(self):
        # A drive's root has no "." or "..", so an empty one lists no name
        # at all, which is no failure to read it. Wine maps a drive letter to
        # whatever its prefix's dosdevices link to.
        prefix = os.environ.get("WINEPREFIX")
        if not support.RUNNER or not prefix:
            self.skipTest("maps a drive letter in the suite's wine prefix")
        pkg, work = self.make_dirs("empty root")
        dosdevices = os.path.join(prefix, "dosdevices")
        letter = next(letter for letter in "ponmlkjih" if not os.path.lexists(
            os.path.join(dosdevices, letter + ":")))
        os.symlink(work, os.path.join(dosdevices, letter + ":"))
        self.addCleanup(os.remove, os.path.join(dosdevices, letter + ":"))
        status, out = run_tool(drive_z(pkg), letter.upper() + ":\\", "merge")
        self.assertEqual((status, out),
                         (0, "Found 0 files\nWarning: No package was there "
                          "before, creating a new one: '%s/shaders.spk'\n"
                          % drive_z(pkg) + completion("merge")))
        self.assertEqual(self.read(os.path.join(pkg, "shaders.spk")),
                         spk.package([]))

    def test_merge_and_a_program_holding_the_package(self):
        # A game reading the package holds it and lets nobody move it. Held
        # for a moment, the merge waits and then replaces it; held longer
        # than the merge waits, the package and the backup stay as they
        # were, and the cause says why.
        if not HOLD_FILE:
            self.skipTest("needs hold_file (--hold-file)")
        original = spk.package([("old.hlsl", b"old")])
        older = spk.package([("older.hlsl", b"older")])
        for milliseconds, held in ((1000, False), (8000, True)):
            with self.subTest(held_for=milliseconds):
                pkg, work = self.make_dirs("held %d" % milliseconds)
                self.write(os.path.join(pkg, "shaders.spk"), original)
                self.write(os.path.join(pkg, "shaders.spk.bak"), older)
                self.write_work(work, ENTRIES)
                holder = subprocess.Popen(support.RUNNER + [
                    HOLD_FILE, drive_z(pkg) + "\\shaders.spk",
                    str(milliseconds)], stdout=subprocess.PIPE,
                    stdin=subprocess.DEVNULL)
                self.addCleanup(holder.communicate, timeout=60)
                self.assertEqual(holder.stdout.readline().strip(), b"held")
                status, out = run_tool(drive_z(pkg), drive_z(work), "merge")
                self.assertEqual(status, 0)
                # Found when the new package is to take its place.
                self.assert_merged(
                    out, drive_z(work), ["water.hlsl", "sky.hlsl"], after=(
                        "Could not write to '%s/shaders.spk'\nCause: another "
                        "program holds the package (the game or a virus "
                        "scanner); close it and merge again.\n"
                        % drive_z(pkg)) * held)
                if held:
                    self.assertEqual(self.files(pkg), {
                        "shaders.spk": original, "shaders.spk.bak": older})
                else:
                    self.assert_replaced(pkg, ENTRIES, original)

if __name__ == "__main__":
    for arg in sys.argv[1:]:
        if arg.startswith("--hold-file="):
            HOLD_FILE = arg[len("--hold-file="):]
            sys.argv.remove(arg)
    support.main()
