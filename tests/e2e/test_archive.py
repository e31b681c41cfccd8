"""The archive cpack makes from a build holds the tool, the user's README
and tools/spk.py, where the README says, and nothing else.
Usage: test_archive.py CPACK CPACK_CONFIG zip|tgz"""
import os
import subprocess
import sys
import tarfile
import tempfile
import zipfile

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
# Path in the archive's one folder: the repository file it must equal, or
# the bytes the tool starts with. What is in bin/ must be executable.
LAYOUTS = {
    "zip": {"Quillmere.exe": b"MZ", "README.md": "README.md",
            "spk.py": "tools/spk.py"},
    "tgz": {"bin/Quillmere": b"\x7fELF", "bin/spk.py": "tools/spk.py",
            "share/doc/Quillmere/README.md": "README.md"},
}

cpack, config, kind = sys.argv[1:]
with tempfile.TemporaryDirectory(prefix="quillmere-cpack-") as out:
    subprocess.run([cpack, "--config", config, "-B", out], check=True,
                   stdout=subprocess.DEVNULL)
    [archive] = [os.path.join(out, name) for name in os.listdir(out)
                 if name.endswith((".zip", ".tar.gz"))]
    if kind == "zip":  # its modes mean nothing on Windows
        with zipfile.ZipFile(archive) as z:
            files = {i.filename: (z.read(i), 0o755)
                     for i in z.infolist() if not i.is_dir()}
    else:
        with tarfile.open(archive) as t:
            files = {m.name: (t.extractfile(m).read(), m.mode)
                     for m in t if not m.isdir()}
top = os.path.basename(archive).split(".zip")[0].split(".tar.gz")[0]
got = {name.split("/", 1)[1]: data for name, data in files.items()
       if name.startswith(top + "/")}
assert len(got) == len(files) and set(got) == set(LAYOUTS[kind]), files.keys()
for name, want in LAYOUTS[kind].items():
    data, mode = got[name]
    if isinstance(want, str):
        with open(os.path.join(ROOT, want), "rb") as f:
            assert data == f.read(), "%s is not %s" % (name, want)
    assert data.startswith(want if isinstance(want, bytes) else b""), name
    assert not name.startswith("bin/") or mode & 0o111, name + ": mode"
print("%s holds %s" % (os.path.basename(archive), ", ".join(sorted(got))))
