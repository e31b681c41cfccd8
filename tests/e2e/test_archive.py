"""The archive cpack makes from a build holds the tool, the user's README,
tools/spk.py and the example package, where the README says, and nothing
else. Its README is the user's manual alone: no file or link the archive
does not hold. The zip's plain-text README (every build writes it) is for
Notepad. Usage: test_archive.py CPACK CPACK_CONFIG zip|tgz"""
import os
import re
import subprocess
import sys
import tarfile
import tempfile
import zipfile

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
# Path in the archive's one folder: the repository file it must equal, the
# bytes the tool starts with, MANUAL for the README or TEXT for its plain
# text. What is in bin/ must be executable.
MANUAL, TEXT = None, 0
LAYOUTS = {
    "zip": {"Quillmere.exe": b"MZ", "README.md": MANUAL, "README.txt": TEXT,
            "spk.py": "tools/spk.py",
            "example/shaders.spk": "examples/shaders.spk"},
    "tgz": {"bin/Quillmere": b"\x7fELF", "bin/spk.py": "tools/spk.py",
            "share/doc/Quillmere/README.md": MANUAL,
            "share/doc/Quillmere/example/shaders.spk": "examples/shaders.spk"},
}


def repository_files():
    """Every source file's path from the top of the repository, "/"-joined;
    build directories and git's own left out."""
    found = []
    for top, dirs, files in os.walk(ROOT):
        dirs[:] = [d for d in dirs if d != ".git" and not d.startswith("build")]
        relative = os.path.relpath(top, ROOT).replace(os.sep, "/")
        found += [name if relative == "." else relative + "/" + name
                  for name in files]
    return found


def check_manual(text, held):
    """The repository's README, less what only a clone can use: its lines in
    their order, every section but the Quick start, and no path, link or
    script of the repository that the archive does not hold."""
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        full = f.read().splitlines()
    lines = iter(full)
    for line in text.splitlines():
        assert line in lines, "not a line of README.md, in order: " + line
    sections = [line for line in full if line.startswith("## ")]
    for section in sections:
        assert (section in text) == (section != "## Quick start"), section
    for link in re.findall(r"\]\(([^)#]*)", text):
        assert link.startswith("https://") or link in held, "link: " + link
    for path in repository_files():
        name = path.rsplit("/", 1)[-1]
        assert "/" not in path or path not in text, "names " + path
        assert (not name.endswith((".md", ".sh", ".py")) or name in held or
                name not in text), "names " + path


def check_text(data, manual):
    """CRLF only, no line over 100 characters, and every heading and quoted
    text of the manual (a message, a command) in it, wrapped or not."""
    assert data.count(b"\n") == data.count(b"\r\n"), "a line ends in LF"
    text = data.decode("utf-8")
    for line in text.split("\r\n"):
        assert len(line) <= 100, "over 100 characters: " + line
    flat = " ".join(text.split())
    for quoted in re.findall(r"^#.*|`[^`\n]+`", manual, re.M):
        assert " ".join(quoted.split()) in flat, "lost: " + quoted

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
    if want is MANUAL:
        manual = data.decode("utf-8")
        check_manual(manual, {held.rsplit("/", 1)[-1] for held in got})
    elif isinstance(want, str):
        with open(os.path.join(ROOT, want), "rb") as f:
            assert data == f.read(), "%s is not %s" % (name, want)
    assert data.startswith(want if isinstance(want, bytes) else b""), name
    assert not name.startswith("bin/") or mode & 0o111, name + ": mode"
# Every build writes the zip's README.txt, so the Linux build checks it too.
with open(os.path.join(os.path.dirname(config), "archive", "README.txt"),
          "rb") as f:
    text = f.read()
assert got.get("README.txt", (text,))[0] == text, "README.txt"
check_text(text, manual)
print("%s holds %s" % (os.path.basename(archive), ", ".join(sorted(got))))
