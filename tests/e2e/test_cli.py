"""The command line as a user meets it: usage, mode choice, the completion
message and the wait for a key."""
import os
import select
import signal
import subprocess
import sys
import time

import support
from support import USAGE, completion, run_tool, spk


class CommandLineTest(support.TempDirTestCase):
    def test_short_command_lines_print_usage_without_waiting(self):
        for args in ([], ["pkg"], ["pkg", "work"]):
            with self.subTest(args=args):
                # stdin stays open: a wait for a key would hang until timeout.
                proc = subprocess.Popen(support.command(*args),
                                        stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE)
                try:
                    out, _ = proc.communicate(timeout=30)
                finally:
                    proc.kill()
                    proc.stdin.close()
                self.assertEqual(support.output_text(out), USAGE)
                self.assertEqual(proc.returncode, 0)

    def test_mode_word(self):
        with open(self.path("shaders.spk"), "wb") as f:
            f.write(spk.package([]))
        cases = [("extract", "extraction"), ("EXTRACT", "extraction"),
                 ("Extract", "extraction"), ("extrct", "merge"),
                 ("", "merge")]
        for word, mode in cases:
            with self.subTest(word=word):
                status, out = run_tool(self.tmp, self.path("missing"), word)
                self.assertEqual(status, 0)
                self.assertTrue(out.endswith(completion(mode)), out)

    def test_empty_package_extracts_to_the_completion_message_alone(self):
        with open(self.path("shaders.spk"), "wb") as f:
            f.write(spk.package([]))
        status, out = run_tool(self.tmp, self.tmp, "extract", "more", "args")
        self.assertEqual((status, out), (0, completion("extraction")))

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

    def test_end_of_input_ends_the_wait(self):
        status, out = run_tool(self.tmp, self.path("nowhere"), "merge",
                               stdin=b"")
        self.assertEqual(status, 0)
        self.assertTrue(out.endswith(completion("merge")), out)



class KeyOnTerminalTest(support.TempDirTestCase):
    """The wait on a terminal of its own (a pseudo-terminal that controls the
    tool, as a shell's does): one key without Enter ends it, the key is not
    echoed, and the terminal's mode is as before however the wait ends."""

    def setUp(self):
        if support.RUNNER or not sys.platform.startswith("linux"):
            self.skipTest("a pseudo-terminal for the Linux build only")
        super().setUp()
        with open(self.path("shaders.spk"), "wb") as f:
            f.write(spk.package([]))

    def wait_for(self, condition, what):
        deadline = time.monotonic() + 30
        while not condition():
            if time.monotonic() > deadline:
                self.fail(what)
            time.sleep(0.02)

    def test_the_wait_on_a_terminal(self):
        import fcntl
        import termios

        def key(master):
            os.write(master, b" ")
        # ^C and ^Z come from the terminal itself, as from a keyboard.
        cases = [
            ("a key", [key], 0),
            ("an arrow key", [lambda master: os.write(master, b"\x1b[A")], 0),
            ("SIGTERM", [lambda _: self.proc.terminate()], -signal.SIGTERM),
            ("Ctrl+C", [lambda master: os.write(master, b"\x03")],
             -signal.SIGINT),
            # No shell can continue this process, so the system drops the
            # stop; the wait goes on and still takes a key.
            ("Ctrl+Z, then a key", [lambda m: os.write(m, b"\x1a"), key], 0),
        ]

        def take_terminal():
            os.setsid()
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)

        for label, actions, status in cases:
            with self.subTest(ending=label):
                master, slave = os.openpty()
                try:
                    before = termios.tcgetattr(slave)
                    self.proc = subprocess.Popen(
                        support.command(self.tmp, self.tmp, "extract"),
                        stdin=slave, stdout=slave, stderr=slave,
                        preexec_fn=take_terminal)
                    try:
                        for action in actions:
                            self.wait_for(
                                lambda: not termios.tcgetattr(slave)[3] &
                                (termios.ICANON | termios.ECHO),
                                "the wait never took the terminal")
                            action(master)
                            time.sleep(0.2)
                        self.assertEqual(self.proc.wait(timeout=30), status)
                    finally:
                        self.proc.kill()
                        self.proc.wait()
                    self.assertEqual(termios.tcgetattr(slave), before)
                    out = b""
                    while select.select([master], [], [], 0)[0]:
                        out += os.read(master, 4096)
                    # ONLCR: the terminal ends lines in \r\n. No echo.
                    self.assertEqual(out.decode("latin-1"),
                                     completion("extraction").replace(
                                         "\n", "\r\n"))
                    # Nothing of the key is left for the shell to read.
                    os.write(master, b"\n")
                    self.assertEqual(os.read(slave, 100), b"\n")
                finally:
                    os.close(master)
                    os.close(slave)


if __name__ == "__main__":
    support.main()
