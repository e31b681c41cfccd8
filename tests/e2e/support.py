"""Shared pieces of the end-to-end suites: how to start the built tool (under
an emulator for a cross build) and real temporary directories to run it in."""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
import spk  # noqa: E402,F401  (re-exported for the suites)

BINARY = None
RUNNER = []
# A Windows build (run under wine here) writes standard output in text mode.
WINDOWS = False

USAGE = "usage: Quillmere.exe [spk path] [work path] extract/merge\n"


def completion(mode):
    return "Comleted %s\nPress a key to continue\n" % mode


def command(*args):
    return RUNNER + [BINARY] + list(args)


def output_text(raw):
    """The tool's standard output as text whose lines end in "\\n".

    A Windows build writes standard output in text mode, so every line ends
    in "\\r\\n" there; a bare "\\n" from it means the mode was switched or a
    line was written past the C runtime. The native build writes "\\n" as is.
    """
    if WINDOWS:
        bare = raw.replace(b"\r\n", b"").count(b"\n")
        if bare:
            raise AssertionError("%d line(s) not ended by \\r\\n in %r" %
                                 (bare, raw))
        raw = raw.replace(b"\r\n", b"\n")
    return raw.decode("latin-1")


def run_tool(*args, stdin=b"\n", timeout=60):
    """Runs the tool to the end; returns (status, stdout as text)."""
    proc = subprocess.run(command(*args), input=stdin, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=timeout)
    if proc.returncode != 0:
        # The tool itself never fails; whatever did (the emulator, a crash)
        # says why here.
        sys.stderr.write("status %d from %s\nstdout: %r\nstderr: %r\n" %
                         (proc.returncode, command(*args), proc.stdout,
                          proc.stderr))
    return proc.returncode, output_text(proc.stdout)


class TempDirTestCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="quillmere-e2e-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def path(self, *parts):
        return os.path.join(self.tmp, *parts)

    def write(self, relative, data):
        full = self.path(relative)
        with open(full, "wb") as f:
            f.write(data)
        return full

    def read(self, relative):
        with open(self.path(relative), "rb") as f:
            return f.read()


def main():
    global BINARY, RUNNER, WINDOWS
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--runner", default="")
    args, rest = parser.parse_known_args()
    BINARY = args.binary
    RUNNER = [part for part in args.runner.split(";") if part]
    WINDOWS = BINARY.lower().endswith(".exe")
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
