"""The command line as a user meets it: the completion message and the wait
for a key. Usage and the mode word are unit tests (run_test.cpp)."""
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
        with open(self.path("shaders.spk"), "wb") as f:
            f.write(spk.package([]))
        # An input method's fullwidth mode: judged on its best-fit ANSI
        # spelling, as the ANSI command line gave it, not merged.
        status, out = run_tool(
            self.tmp, self.path("missing"),
            "\uff45\uff58\uff54\uff52\uff41\uff43\uff54")
        self.assertEqual(status, 0)
        self.assertTrue(out.endswith(completion("extraction")), out)

    def test_waits_for_a_key_after_the_message(self):
        with open(self.path("shaders.spk"), "wb") as f:
            f.write(spk.package([]))
        proc = subprocess.Popen(support.command(self.tmp, self.tmp, "extract"),
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        try:
            time.sleep(1.0)
            self.assertIsNone(proc.poll(), "the tool did not wait for a key")
            out, _ = proc.communicate(b"k", timeout=30)
        finally:
            proc.kill()
        self.assertEqual(proc.returncode, 0)
        self.assertEqual(support.output_text(out),
                         completion("extraction"))

    def test_folder_slips_are_pointed_out(self):
        """A modder's slips with the two folders: each merge's lines as
        (in this order, in any order, in this order); the listing's order
        is the file system's."""
        game = self.path("game")
        data = os.path.join(game, "data")
        work = self.path("work")
        os.makedirs(data)
        os.mkdir(work)
        entries = [("a.hlsl", b"float a;"), ("b.hlsl", b"float bb;")]
        original = spk.package(entries)
        with open(os.path.join(data, "shaders.spk"), "wb") as f:
            f.write(original)
        for name, content in entries:
            with open(os.path.join(work, name), "wb") as f:
                f.write(content)
            with open(os.path.join(work, name[:-5] + ".pre"), "wb") as f:
                f.write(spk.entry_header(name, 0))
        with open(os.path.join(data, "notes.txt"), "wb") as f:
            f.write(b"the game's own file")
        merged = ["Merged: '%s/a.hlsl'\n" % work,
                  "Merged: '%s/b.hlsl'\n" % work]
        new = "Warning: No package was there before, creating a new one: '%s'\n"
        stray = ("Warning: A package, not a shader, maybe left from swapped "
                 "folders: '%s'\n")
        refused = ("Expected an even number of files in work path, aborting\n"
                   "Failed enumerating files\nCause: no pre file of its own: "
                   "'%s/shaders.spk' and 0 more; move such stray files "
                   "(hidden ones too) out of the work folder.\n" % work)
        empty = self.path("empty")
        os.mkdir(empty)
        # (what, the folders given, the lines, the package's bytes after)
        cases = [
            # One level above the package folder: a new package is made.
            ("a folder without a package", (game, work),
             (["Found 2 files\n", new % (game + "/shaders.spk")], merged,
              []), (os.path.join(game, "shaders.spk"), original)),
            # Swapped: the game's folder lists its package and notes.txt.
            ("the folders swapped", (work, data),
             (["Found 2 files\n", stray % (data + "/shaders.spk"),
               new % (work + "/shaders.spk")],
              ["Warning: Could not open: '%s/note.pre'\n" % data,
               "Warning: Could not open: '%s/shader.pre'\n" % data], []),
             (os.path.join(work, "shaders.spk"), b"\1\0\0\0\0\0\0\0")),
            # ... which the right command then finds in the work folder.
            ("the right folders after the swap", (data, work),
             (["Found 3 files\n", stray % (work + "/shaders.spk"), refused],
              [], []), (os.path.join(data, "shaders.spk"), original)),
            # A mistyped mode word and a fresh folder: an empty package.
            ("a mistyped mode word", (data, empty, "extrct"),
             (["Warning: Unknown mode 'extrct', merging\n", "Found 0 files\n",
               "Warning: The package loses 2 of its 2 entries, the first "
               "'a.hlsl'; see \"A game update\" in the README\n"], [], []),
             (os.path.join(data, "shaders.spk"), b"\1\0\0\0\0\0\0\0")),
        ]
        for what, (pkg, wrk, *mode), (head, unordered, tail), (path, after) \
                in cases:
            with self.subTest(what):
                status, out = run_tool(pkg, wrk, *(mode or ["merge"]))
                self.assertEqual(status, 0)
                lines = out.splitlines(keepends=True)
                lines[-2:] = ["".join(lines[-2:])]
                head = "".join(head).splitlines(keepends=True)
                self.assertEqual(lines[:len(head)], head, out)
                self.assertCountEqual(lines[len(head):-1 - len(tail)],
                                      unordered, out)
                self.assertEqual(lines[-1 - len(tail):],
                                 tail + [completion("merge")], out)
                with open(path, "rb") as f:
                    self.assertEqual(f.read(), after)

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

    def test_spk_py_command_lines(self):
        # (arguments, status, whether the usage goes to standard output)
        cases = [(["--help"], 0, True), (["-h"], 0, True), ([], 2, False),
                 (["show"], 2, False), (["--hlep"], 2, False)]
        for args, status, to_stdout in cases:
            with self.subTest(args=args):
                proc = subprocess.run([sys.executable, spk.__file__] + args,
                                      capture_output=True, text=True)
                usage, other = ((proc.stdout, proc.stderr) if to_stdout
                                else (proc.stderr, proc.stdout))
                self.assertEqual(proc.returncode, status)
                self.assertEqual(other, "")
                self.assertTrue(usage.startswith(
                    "Make and inspect shaders.spk packages.\n"), usage)
                self.assertIn("    spk.py diff A.spk B.spk ", usage)

    def test_end_of_input_ends_the_wait(self):
        status, out = run_tool(self.tmp, self.path("nowhere"), "merge",
                               stdin=b"")
        self.assertEqual(status, 0)
        self.assertTrue(out.endswith(completion("merge")), out)

    def test_one_key_on_a_terminal_and_the_terminal_given_back(self):
        """On a pseudo-terminal that controls the tool, as a shell's does:
        one key without Enter ends the wait, nothing is echoed or left for
        the shell, and the terminal's mode is as before however it ends."""
        if support.RUNNER or not sys.platform.startswith("linux"):
            self.skipTest("a pseudo-terminal for the Linux build only")
        import fcntl
        import termios
        with open(self.path("shaders.spk"), "wb") as f:
            f.write(spk.package([]))

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
