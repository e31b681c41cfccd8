"""The command line as a user meets it: usage, mode choice, the completion
message and the wait for a key."""
import subprocess
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


if __name__ == "__main__":
    support.main()
