"""The command line as a user meets it: the completion message and the wait
for a key. Usage and the mode word are unit tests (run_test.cpp)."""
import os
import select
import signal
import subprocess
import sys
import time

import support
from support import completion, run_tool, spk


class CommandLineTest(support.TempDirTestCase):
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
