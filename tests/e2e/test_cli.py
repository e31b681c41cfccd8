"""The command line as a user meets it: the completion message, the wait
for a key, and spk.py. Usage and the mode word are unit tests (run_test.cpp);
cut and missing packages, the extraction fuzz seeds and extract_test.cpp."""
import os
import re
import select
import signal
import shlex
import shutil
import subprocess
import sys
import time

import support
from support import completion, run_tool, spk


class CommandLineTest(support.TempDirTestCase):
    def test_fullwidth_mode_word_extracts_on_windows(self):
        if not support.WINDOWS:
            self.skipTest("the ANSI spelling of a word is Windows's")
        self.write("shaders.spk", spk.package([]))
        # An input method's fullwidth mode: judged on its best-fit ANSI
        # spelling, as the ANSI command line gave it, not merged.
        status, out = run_tool(
            self.tmp, self.path("missing"),
            "\uff45\uff58\uff54\uff52\uff41\uff43\uff54")
        self.assertEqual(status, 0)
        self.assertTrue(out.endswith(completion("extraction")), out)

    def test_waits_for_a_key_after_the_message(self):
        """Until a key comes, or the end of the input."""
        self.write("shaders.spk", spk.package([]))
        for key in (b"k", b""):
            with self.subTest(key=key):
                proc = subprocess.Popen(
                    support.command(self.tmp, self.tmp, "extract"),
                    stdin=subprocess.PIPE, stdout=subprocess.PIPE)
                try:
                    time.sleep(1.0)
                    self.assertIsNone(proc.poll(), "no wait for a key")
                    out, _ = proc.communicate(key, timeout=30)
                finally:
                    proc.kill()
                self.assertEqual(proc.returncode, 0)
                self.assertEqual(support.output_text(out),
                                 completion("extraction"))

    def test_the_readme_sessions(self):
        """The README's session on this system, then a game update and the
        session that carries the edit over (in its Windows form on either
        system), run as they stand on the example package: every line they
        show the tool and spk.py print."""
        root = os.path.join(os.path.dirname(__file__), "..", "..")
        with open(os.path.join(root, "README.md"), encoding="utf-8") as f:
            readme = f.read()
        data = self.path("Games", "SomeGame", "data")
        os.makedirs(data)
        with open(os.path.join(root, "examples", "shaders.spk"), "rb") as f:
            example = f.read()
        self.write(os.path.join(data, "shaders.spk"), example)
        # The README's folders, and where they are here.
        places = {"D:\\Games\\Some Game\\data": data,
                  "C:\\Mods\\Quillmere-0.1.0-win64": self.tmp,
                  "C:\\Mods\\work": self.path("work"),
                  "C:\\Mods\\new": self.path("new")}
        if support.WINDOWS:
            places = {theirs: "Z:" + ours.replace("/", "\\")
                      for theirs, ours in places.items()}
        windows = r"[A-Z]:\\[^>]*>"
        self.run_session(readme.split("## A session on " + (
            "Windows" if support.WINDOWS else "Linux"))[1], places,
            windows if support.WINDOWS else r"\$ ", edit=True)
        # The game's update: fog.hlsl changed, two shaders added at the end.
        entries = [entry[2:] for entry in spk.parse(example)]
        entries[1] = ("fog.hlsl", entries[1][1] + b"// 1.1: no sky fog\n")
        shader = b"float4 main(float4 c : COLOR0) : SV_Target {return c%s;}\n"
        self.write(os.path.join(data, "shaders.spk"), spk.package(
            entries + [("rain.hlsl", shader % b" * 0.8"),
                       ("snow.hlsl", shader % b" + 0.1")]))
        self.run_session(readme.split("## A game update")[1], places, windows)

    def run_session(self, section, places, prompt, edit=False):
        """Runs the commands shown in the section's code blocks and compares
        their output; `edit` shortens water.hlsl by a byte before a merge."""
        steps = []
        section = section.split("\n## ")[0]
        for line in "\n".join(section.split("```")[1::2]).splitlines():
            if re.match(prompt, line):
                line = re.sub(prompt, "", line, 1)
                for theirs, ours in places.items():
                    line = line.replace(theirs, ours)
                steps.append((shlex.split(line, posix=prompt == r"\$ "), []))
            elif steps and line:
                steps[-1][1].append(line)
        cwd = self.tmp

        def local(path):
            return os.path.join(cwd, path.replace("Z:", "").replace("\\", "/"))
        for words, shown in steps:
            words = [w.strip('"') for w in words]
            if words[0].startswith("Quillmere"):
                if words[3] == "merge" and edit:
                    water = os.path.join(local(words[2]), "water.hlsl")
                    with open(water, "rb") as f:
                        text = f.read()
                    with open(water, "wb") as f:
                        f.write(text[:-1])
                out = support.output_text(subprocess.run(
                    support.command(*words[1:]), input=b"\n", cwd=cwd,
                    stdout=subprocess.PIPE).stdout).splitlines()
            elif words[0] in ("ls", "dir"):
                out = sorted(os.listdir(local(
                    words[-1] if words[-1] != "/b" else ".")))
                shown = sorted(" ".join(shown).split())
            elif words[0] == "cd":
                cwd = local(words[-1])
                continue
            elif words[0] in ("mkdir", "del", "copy"):
                {"mkdir": os.mkdir, "del": os.remove, "copy": shutil.copy}[
                    words[0]](*map(local, words[-1 - (words[0] == "copy"):]))
                continue
            elif "spk.py" in " ".join(words[:2]):
                out = subprocess.run(
                    [sys.executable, spk.__file__] +
                    words[words.index(next(w for w in words if w.endswith(
                        "spk.py"))) + 1:], cwd=cwd,
                    stdout=subprocess.PIPE).stdout.decode().splitlines()
            else:  # unpacking the archive, setting PATH
                continue
            for theirs, ours in places.items():
                shown = [line.replace(theirs, ours) for line in shown]
            with self.subTest(" ".join(words)):
                self.assertEqual(out, shown)

    def spk_py(self, *args):
        """spk.py as a user runs it: (status, standard output, standard
        error)."""
        proc = subprocess.run([sys.executable, spk.__file__] + list(args),
                              capture_output=True, text=True, cwd=self.tmp)
        return proc.returncode, proc.stdout, proc.stderr

    def test_spk_py_usage_and_what_it_cannot_read(self):
        """The usage on standard output when asked for, else on standard
        error with status 2. show fails with status 1 on a cut or missing
        package, diff with 2 with it on either side of a whole one; each
        says so in one line on standard error, a cut one with the byte it
        ends at."""
        usage = (r"\AMake and inspect shaders\.spk packages\.\n"
                 r"(.|\n)*\n    spk\.py diff A\.spk B\.spk ")
        first = ("first.hlsl", b"0123456789")
        package = spk.package([first, ("second.hlsl", b"abcdef")])
        whole = len(spk.package([first]))
        self.write("whole.spk", spk.package([]))
        cut = self.path("shaders.spk")
        # (the length the package is cut to, None for none; the arguments,
        # status, standard output and standard error)
        cases = [(0, [asked], 0, usage, "") for asked in ("--help", "-h")] + [
            (0, args, 2, "", usage) for args in ([], ["show"], ["--hlep"])]
        for length in (0, 5, whole, whole + 20, len(package) - 1, None):
            line = r"\Aspk\.py: %s: %s.*\n\Z" % (re.escape(cut), "" if (
                length is None) else r"ends at byte %d\D" % length)
            cases += [(length, ["show", cut], 1, "", line),
                      (length, ["diff", cut, "whole.spk"], 2, "", line),
                      (length, ["diff", "whole.spk", cut], 2, "", line)]
        for length, args, status, out, err in cases:
            with self.subTest(args=args, length=length):
                if length is not None:
                    self.write(cut, package[:length])
                elif os.path.exists(cut):
                    os.remove(cut)
                code, stdout, stderr = self.spk_py(*args)
                self.assertEqual(code, status)
                self.assertRegex(stdout, out or r"\A\Z")
                self.assertRegex(stderr, err or r"\A\Z")

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
                    self.spk_py("diff", "a", "b"),
                    (1 if lines else 0, "".join(line + "\n" for line in lines),
                     ""))

    def test_one_key_on_a_terminal_and_the_terminal_given_back(self):
        """On a pseudo-terminal that controls the tool, as a shell's does:
        one key without Enter ends the wait, nothing is echoed or left for
        the shell, and the terminal's mode is as before however it ends."""
        if support.RUNNER or not sys.platform.startswith("linux"):
            self.skipTest("a pseudo-terminal for the Linux build only")
        import fcntl
        import termios
        self.write("shaders.spk", spk.package([]))

        def take_terminal():
            os.setsid()
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)
        # Bytes come from the keyboard (^C, ^Z too); a number is a signal.
        # Nothing can continue the process after ^Z, so the system drops the
        # stop, and the wait must still take a key.
        cases = [("a key", [b" "], 0), ("an arrow key", [b"\x1b[A"], 0),
                 ("Ctrl+C", [b"\x03"], -signal.SIGINT),
                 ("Ctrl+Z, then a key", [b"\x1a", b" "], 0),
                 ("SIGTERM", [signal.SIGTERM], -signal.SIGTERM)]
        for label, actions, status in cases:
            with self.subTest(ending=label):
                master, slave = os.openpty()
                self.addCleanup(os.close, master)
                self.addCleanup(os.close, slave)
                before = termios.tcgetattr(slave)
                proc = subprocess.Popen(
                    support.command(self.tmp, self.tmp, "extract"),
                    stdin=slave, stdout=slave, stderr=slave,
                    preexec_fn=take_terminal)
                self.addCleanup(proc.kill)
                for action in actions:
                    deadline = time.monotonic() + 30
                    while termios.tcgetattr(slave)[3] & (termios.ICANON |
                                                         termios.ECHO):
                        if time.monotonic() > deadline:
                            self.fail("the wait never took the terminal")
                        time.sleep(0.02)
                    if isinstance(action, bytes):
                        os.write(master, action)
                    else:
                        proc.send_signal(action)
                    time.sleep(0.2)
                self.assertEqual(proc.wait(timeout=30), status)
                self.assertEqual(termios.tcgetattr(slave), before)
                out = b""
                while select.select([master], [], [], 0)[0]:
                    out += os.read(master, 4096)
                self.assertEqual(out, completion("extraction").replace(
                    "\n", "\r\n").encode())  # ONLCR
                os.write(master, b"\n")
                self.assertEqual(os.read(slave, 100), b"\n")

if __name__ == "__main__":
    support.main()
