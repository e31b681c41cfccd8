"""The release archive as a user unpacks it: cpack makes it from the build,
and it holds the tool, the user's README and tools/spk.py, each where the
README says, and nothing else."""
import argparse
import os
import subprocess
import sys
import tarfile
import tempfile
import unittest
import zipfile

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
ARGS = None

# Path inside the archive's one top folder: (repository file or None for the
# tool, the bytes the file starts with, whether it must be executable).
LAYOUTS = {
    "zip": {
        "Quillmere.exe": (None, b"MZ", False),
        "README.md": ("README.md", b"", False),
        "spk.py": ("tools/spk.py", b"", False),
    },
    "tgz": {
        "bin/Quillmere": (None, b"\x7fELF", True),
        "bin/spk.py": ("tools/spk.py", b"", True),
        "share/doc/Quillmere/README.md": ("README.md", b"", False),
    },
}


def unpack(archive):
    """{path: (bytes, executable)} of the files; directories left out."""
    files = {}
    if archive.endswith(".zip"):
        with zipfile.ZipFile(archive) as z:
            for info in z.infolist():
                if not info.is_dir():
                    files[info.filename] = (z.read(info), False)
    else:
        with tarfile.open(archive) as t:
            for member in t.getmembers():
                if member.isfile():
                    files[member.name] = (t.extractfile(member).read(),
                                          bool(member.mode & 0o111))
                else:
                    assert member.isdir(), member.name
    return files


class ArchiveTest(unittest.TestCase):
    def test_archive_holds_the_tool_the_readme_and_spk_py(self):
        with tempfile.TemporaryDirectory(prefix="quillmere-cpack-") as out:
            subprocess.run([ARGS.cpack, "--config", ARGS.config, "-B", out],
                           check=True, stdout=subprocess.DEVNULL)
            archives = [name for name in os.listdir(out)
                        if name.endswith((".zip", ".tar.gz"))]
            self.assertEqual(len(archives), 1, os.listdir(out))
            archive = archives[0]
            files = unpack(os.path.join(out, archive))
        top = archive[:-len(".zip")] if ARGS.kind == "zip" else \
            archive[:-len(".tar.gz")]
        layout = LAYOUTS[ARGS.kind]
        self.assertEqual(sorted(files), sorted(top + "/" + path
                                               for path in layout))
        for path, (source, start, executable) in layout.items():
            with self.subTest(path=path):
                data, mode = files[top + "/" + path]
                if source is not None:
                    with open(os.path.join(ROOT, source), "rb") as f:
                        self.assertEqual(data, f.read())
                self.assertTrue(data.startswith(start))
                if executable:
                    self.assertTrue(mode, "not executable")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--cpack", required=True)
    parser.add_argument("--config", required=True)
    parser.add_argument("--kind", choices=sorted(LAYOUTS), required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
