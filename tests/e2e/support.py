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
# LeakSanitizer traces the process itself, which a traced process cannot
# allow; a sanitizer build runs under strace without it.
TRACED_ENV = dict(os.environ, ASAN_OPTIONS=os.environ.get(
    "ASAN_OPTIONS", "") + ":detect_leaks=0")


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


def run_tool(*args, stdin=b"\n", timeout=60, tracer=()):
    """Runs the tool to the end; returns (status, stdout as text)."""
    for attempt in (1, 2):
        proc = subprocess.run(list(tracer) + command(*args), input=stdin,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=timeout)
        if proc.returncode == 0:
            break
        # The tool itself never fails; whatever did (the emulator, a crash)
        # says why here.
        sys.stderr.write("attempt %d: status %d from %s\nstdout: %r\n"
                         "stderr: %r\n" % (attempt, proc.returncode,
                                           command(*args), proc.stdout,
                                           proc.stderr))
        # Now and then wine ends a program with status 1 before it has
        # printed a byte, and says nothing. The tool prints on every path
        # and never exits with 1 (a crash ends with the exception's code),
        # so only that case is tried once more.
        silent = not proc.stdout and not proc.stderr
        if not (RUNNER and proc.returncode == 1 and silent):
            break
    return proc.returncode, output_text(proc.stdout)


def trace_refused():
    """Why no fault can be injected into the tool here, or None."""
    if not BINARY or WINDOWS or RUNNER:
        return "faults are injected into the Linux build only"
    if shutil.which("strace") is None:
        return "strace is not installed"
    probe = subprocess.run(["strace", "-o", os.devnull, "true"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if probe.returncode != 0:
        return "this machine forbids tracing: %s" % probe.stderr.decode(
            errors="replace").strip()
    return None


def run_injected(paths, inject, *args):
    """run_tool under strace, with the fault `inject` (strace's
    CALL:error=E:when=N) counted among the calls on `paths` (one or a
    tuple) alone, or on any file when `paths` is None."""
    paths = (paths,) if isinstance(paths, str) else paths or ()
    only = [arg for path in paths for arg in ("-P", path)]
    return run_tool(*args, tracer=[
        "strace", "-f", "-qq", "-o", os.devnull, "-E",
        "ASAN_OPTIONS=" + TRACED_ENV["ASAN_OPTIONS"],
        "-e", "trace=" + inject.split(":")[0], "-e", "inject=" + inject
    ] + only)


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

    def files(self, folder):
        """The files in `folder`: name -> bytes."""
        return {name: self.read(os.path.join(folder, name))
                for name in os.listdir(self.path(folder))}


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
