"""Every file system call of a small merge and a small extraction, failed
and, separately, killed at, one at a time (strace's fault injection); and
failed, the calls of a merge after a killed one that clear what it left,
and those of a merge on a file system without hard links.

After each run the package the user had must still be whole under
shaders.spk or shaders.spk.bak, a merge that did not replace the package
must say so, nothing of the tool's may stay beside the package, and the next
merge must pack no cut entry. Linux only."""
import itertools
import os
import re
import shutil
import subprocess
import time
import unittest

import support
from support import TRACED_ENV, spk

# The calls that touch files; mmap of the loader is memory, not the tool's.
TRACED = "%file,%desc"
SKIPPED = {"mmap", "execve", "exit_group"}
WRITES = {"write", "pwrite64", "ftruncate", "fallocate", "fsync"}
# The calls after which a killed merge may leave something new.
CHANGES = {"openat", "link", "rename", "renameat2", "unlink", "pwrite64",
           "ftruncate"}
# The tool's working files: a name, a role and a tag of its own.
WORKING = re.compile(r"shaders\.spk\.(new|bak|orig|guard)~[0-9a-f]{8}$")

ENTRIES = [(b"a.hlsl", b"float a;\n" * 20), (b"b.hlsl", b"float b;\n" * 30),
           (b"c.hlsl", b"float c;\n" * 5), (b"d.hlsl", b"float d;\n" * 9)]
EDITED = b"float b; // edited\n" * 31


def package_of(entries):
    return spk.package([(name.decode(), content) for name, content in entries])


OLD = package_of(ENTRIES)
NEW = package_of([(n, EDITED if n == b"b.hlsl" else c) for n, c in ENTRIES])


def entries_of(data):
    return [(name.encode("latin-1"), content)
            for _, _, name, content in spk.parse(data)]


RUNS = itertools.count()


class FaultSweepTest(support.TempDirTestCase):
    def setUp(self):
        why = support.trace_refused()
        if why:
            self.skipTest(why)
        super().setUp()
        # strace's options for every run: the file system the sweep plays.
        self.around = []

    def traced(self, strace, *args, env=TRACED_ENV):
        """The tool run to its end in the test's directory, under strace
        with the options `strace` when there are any."""
        tracer = ["strace", "-f", "-qq"] + strace if strace else []
        return subprocess.run(tracer + support.command(*args), input=b"\n",
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=60, cwd=self.tmp, env=env)

    def tool(self, args, inject=None):
        """Runs the tool, under strace when `inject` is (call, n, fault)."""
        strace, env = [], TRACED_ENV
        if inject:
            call, n, fault = inject
            action = "signal=KILL" if fault == "KILL" else "error=" + fault
            strace = self.around + [
                "-o", os.devnull, "-e", "trace=%s,link,renameat2" % call,
                "-e", "inject=%s:%s:when=%d" % (call, action, n)]
            # A fault counted past a short run's end can land in a coverage
            # build's writing of its counts and spoil the file every run
            # adds to; so each faulted run writes its own, which
            # tools/coverage.sh merges, and anywhere else they are dropped.
            env = dict(env, GCOV_PREFIX=os.path.join(
                os.environ.get("QUILLMERE_FAULT_COUNTS", self.path("counts")),
                str(next(RUNS))))
        proc = self.traced(strace, *args, env=env)
        killed = b"+++ killed by SIGKILL" in proc.stderr or \
            proc.returncode in (-9, 137)
        if not killed:
            self.assertEqual(proc.returncode, 0, (inject, proc.stderr))
        return killed, proc.stdout.decode("latin-1")

    def trace(self, strace, args):
        """What strace logs of a clean run with the options `strace`: one
        call a line, without the process id."""
        log = self.path("trace.log")
        proc = self.traced(["-y", "-o", log] + strace, *args)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        with open(log) as f:
            lines = [re.sub(r"^\d+ +", "", line) for line in f]
        os.remove(log)
        return lines

    def calls(self, args, recovery=False):
        """The tool's own file calls in a clean run: (name, n) for the n-th
        call of that name, from the first that names our directory on. With
        `recovery`, those on the package and the tool's files before the
        first entry is read: what clears a killed merge's files."""
        lines = self.trace(["-e", "trace=" + TRACED] + self.around, args)
        seen = {}
        found = []
        started = False
        for line in lines:
            match = re.match(r"(\w+)\((.*)", line)
            if not match:
                continue
            name, rest = match.groups()
            # A coverage build writes its counts at exit: those calls are
            # not the tool's, and a fault in them would spoil the counts.
            if ".gcda" in rest:
                break
            if recovery and '"work/a.hlsl"' in rest:
                break
            seen[name] = seen.get(name, 0) + 1
            started = started or bool(
                re.match(r'(AT_FDCWD<[^>]*>, )?"(pkg|work|game)', rest))
            # Messages to the terminal are not the file system's.
            if not started or name in SKIPPED or \
                    re.match(r"[12]<", rest) or \
                    (recovery and "shaders.spk" not in rest):
                continue
            found.append((name, seen[name]))
        self.assertGreater(len(found), 10, lines)
        return found

    def faults(self, args, every=True, recovery=False):
        for call, n in self.calls(args, recovery):
            if call in ("link", "renameat2") and self.around:
                continue
            yield call, n, "EIO"
            if call in WRITES and every:
                yield call, n, "ENOSPC"
            if every:
                yield call, n, "KILL"

    def fresh(self, linked, work=False):
        for name in ("pkg", "game") + (("work",) if work else ()):
            shutil.rmtree(self.path(name), True)
            os.mkdir(self.path(name))
        package = self.path("game" if linked is True else "pkg",
                            "shaders.spk")
        self.write(package, OLD)
        if linked is True:
            os.symlink(package, self.path("pkg", "shaders.spk"))
        elif linked:
            # A mod manager's deployment: rewritten in place.
            os.link(package, self.path("game", "shaders.spk"))
        self.write("pkg/shaders.spk.bak", b"an older backup")

    def edited(self, linked):
        """A fresh package extracted, and one of its shaders edited."""
        self.fresh(linked, work=True)
        self.tool(["pkg", "work", "extract"])
        self.write("work/b.hlsl", EDITED)

    def leftovers(self, old=None):
        names = set(os.listdir(self.path("pkg")))
        if "shaders.spk.orig" in names and old is not None:
            # The first package replaced, kept for good, whole.
            self.assertEqual(self.read("pkg/shaders.spk.orig"), OLD)
        return sorted(names - {"shaders.spk", "shaders.spk.bak",
                               "shaders.spk.orig"})

    def prepare(self, linked, after):
        """A fresh package, and what a merge killed at `after` left."""
        self.fresh(linked)
        if after:
            self.tool(["pkg", "work", "merge"], after)
        return self.read("pkg/shaders.spk")

    def check_merge(self, linked, after=None, every=True):
        self.edited(linked)
        work = self.files("work")

        def label(data):
            # Short names for failure messages.
            return {OLD: "old", NEW: "new"}.get(data, "%d bytes" % len(data))

        self.prepare(linked, after)
        # After a killed merge, only what clears its files is new.
        for fault in self.faults(["pkg", "work", "merge"], every,
                                 recovery=bool(after)):
            with self.subTest(linked=linked, after=after, fault=fault):
                start = self.prepare(linked, after)
                # What this run must keep: what it found whole, and the package the user had
                # until a merge of its own replaces it.
                had = {label(start) if start == NEW else "old"}
                killed, out = self.tool(["pkg", "work", "merge"], fault)
                package = self.read("pkg/shaders.spk")
                backup = self.read("pkg/shaders.spk.bak")
                # The package the user had is whole under one of the names,
                # or under the backup's while it is made, which the next
                # merge rolls forward.
                pending = b""
                kept = {label(package), label(backup)}
                for name in os.listdir(self.path("pkg")):
                    if re.match(r"shaders\.spk\.(bak|guard)~", name):
                        pending = self.read("pkg/" + name)
                        kept.add(label(pending))
                if killed or re.search("Could not (open|write to) "
                                       "'pkg/shaders.spk'|Failed", out):
                    had.add("old")
                self.assertLessEqual(had, kept, out)
                if killed and package not in (OLD, NEW):
                    # Torn: an extraction refuses it, and a merge through a
                    # name without the guard beside it, until a merge
                    # through the name it was given puts it back.
                    _, extracted = self.tool(["pkg", "game", "extract"])
                    self.assertIn("could not open shaders.spk", extracted)
                    if linked == "hard":
                        _, other = self.tool(["game", "work", "merge"])
                        self.assertIn("stopped while it rewrote", other)
                        self.assertEqual(self.read("pkg/shaders.spk"), package)
                if package == OLD and not killed:
                    self.assertRegex(
                        out, "Could not (open|write to) 'pkg/shaders.spk'"
                        "|Failed enumerating files")
                elif package == NEW or not killed:
                    # Replaced: whole, with the old package as its backup,
                    # and only what was reported merged in it (a killed
                    # run's output may be lost with it).
                    merged = [n.encode() for n in
                              re.findall(r"Merged: 'work/(.*)'", out)]
                    if not killed and package != start:
                        self.assertEqual(
                            [n for n, _ in entries_of(package)], merged, out)
                    # A marked package is put back before it is replaced.
                    if package != start:
                        self.assertIn(label(start if start == NEW else OLD),
                                      (label(backup), label(pending)), out)
                if not killed:
                    # Only a file the system would not remove may stay.
                    left = self.leftovers(OLD)
                    if fault[0] in ("unlink", "newfstatat") or pending or after:
                        left = [n for n in left if not WORKING.match(n)]
                    self.assertEqual(left, [], out)
                self.assertEqual(os.path.islink(self.path("pkg/shaders.spk")),
                                 linked is True)
                # The next merge clears whatever a killed one left.
                _, again = self.tool(["pkg", "work", "merge"])
                self.assertEqual(label(self.read("pkg/shaders.spk")), "new",
                                 (out, again))
                self.assertIn(self.read("pkg/shaders.spk.bak"),
                              (OLD, NEW, package), (out, again))
                # What clears a killed merge's files keeps the original,
                # and no failed look at it loses it.
                self.assertEqual(self.leftovers(OLD), [], (out, again))
                self.assertEqual(self.files("work"), work,
                                 "the merge wrote the work directory")
                if linked == "hard":
                    self.assertTrue(os.path.samefile(
                        self.path("pkg/shaders.spk"),
                        self.path("game/shaders.spk")))

    def test_merge_keeps_the_package(self):
        """A plain package, a link to the game's and a hard-linked one; then
        a plain one and a link where no file may have a second name, so the
        backup and the original are copies (calls failed only)."""
        for linked in (False, True, "hard"):
            self.check_merge(linked)
        self.around = ["-e", "inject=link:error=EPERM"]
        for linked in (False, True):
            self.check_merge(linked, every=False)

    def test_the_merge_after_a_killed_one(self):
        """Each set of files a merge killed after one of its changes can
        leave, then every call of the merge that clears them failed."""
        for linked in (False, True, "hard"):
            self.edited(linked)
            states = {}
            calls = self.calls(["pkg", "work", "merge"])
            for (call, _), (following, n) in zip(calls, calls[1:]):
                if call not in CHANGES:
                    continue
                package = self.prepare(linked, (following, n, "KILL"))
                left = [re.sub("~.*", "~", name) for name in self.leftovers() + [
                    "game/" + name for name in os.listdir(self.path("game"))
                    if name != "shaders.spk"]]
                if left:
                    states.setdefault((package, tuple(sorted(left))),
                                      (following, n, "KILL"))
            for after in states.values():
                self.check_merge(linked, after, every=False)

    def torn(self):
        """Kills a hard-linked package's rewrite in place before its first
        bytes go back: the mark, the new bytes after it, and the guard
        beside it. Returns that kill, for prepare(), and the guard's name.
        (Killed right after the mark, the bytes past it are still the old
        ones, and a recovery that wrote its first bytes too soon would
        pass.)"""
        self.edited("hard")
        writes = self.trace(["-e", "trace=pwrite64"], ["pkg", "work", "merge"])
        mark = next(n for n, line in enumerate(writes, 1) if '"QMRW' in line)
        kill = ("pwrite64", mark + 2, "KILL")
        self.assertTrue(self.prepare("hard", kill).startswith(b"QMRW"))
        guard = [n for n in os.listdir(self.path("pkg")) if "guard~" in n]
        self.assertEqual([self.read("pkg/" + n) for n in guard], [OLD])
        return kill, "pkg/" + guard[0]

    def test_a_killed_recovery_is_recovered(self):
        """Every call of the merge that puts a marked package back (before
        its first entry is read), failed and killed."""
        self.check_merge("hard", self.torn()[0])

    def test_a_guard_that_guards_no_longer(self):
        """A marked package is put back only from the guard its mark names,
        whole; every name of it is refused until then."""
        for what in ("one byte of the guard changed", "the guard moved away"):
            with self.subTest(what):
                _, guard = self.torn()
                marked = self.read("pkg/shaders.spk")
                if what.startswith("one"):
                    self.write(guard, OLD[:-1] + bytes([OLD[-1] ^ 1]))
                else:
                    os.rename(self.path(guard), self.path("game/kept"))
                _, out = self.tool(["pkg", "work", "merge"])
                self.assertIn("Cause: a merge was stopped while it rewrote "
                              "the package", out)
                self.assertEqual(self.read("pkg/shaders.spk"), marked)
                for name in ("pkg", "game"):
                    _, out = self.tool([name, "work", "extract"])
                    self.assertIn("could not open shaders.spk", out)

    def test_merges_and_links_meeting(self):
        """One run paused (strace's delay) while something else happens:
        another merge through the package's other name is refused; a link
        swapped between its check and its use is never followed; a package
        swapped while entries are read is the one replaced; a backup that
        cannot take its name is said, and rolled forward next time."""
        secret = self.path("secret")
        swapped = package_of(ENTRIES[:2])

        def swap_link():
            os.remove(self.path("pkg/shaders.spk"))
            os.symlink(secret, self.path("pkg/shaders.spk"))
            os.lchown(self.path("pkg/shaders.spk"), 65534, 65534)

        def swap_package():
            self.write("game/other", swapped)
            os.rename(self.path("game/other"), self.path("pkg/shaders.spk"))
        # (shape, the path paused on and its call, what happens meanwhile,
        # the package backed up, the lines printed)
        cases = [
            ("hard", "pkg/shaders.spk", "fsync:delay_enter=1500000:when=1",
             lambda: self.assertIn("another merge of this package is "
                                   "running", self.tool(
                                       ["game", "work", "merge"])[1]),
             None, None),
            # Right after the link is opened to be judged.
            (True, "pkg/shaders.spk", "openat:delay_exit=1500000:when=1",
             swap_link, None, None),
            (False, "work/a.hlsl", "openat:delay_exit=1500000:when=1",
             swap_package, swapped, None),
            # The second rename: the backup's, after the package's.
            (False, None, "rename:error=EIO:when=2", None, None,
             r"Warning: Could not make the backup 'pkg/shaders.spk.bak'\n"
             r"Cause: the package you had is 'pkg/(shaders.spk.bak~\w+)'; "
             r"the next merge makes it the backup.\n"),
        ]
        for shape, only, inject, meanwhile, replaced, line in cases:
            with self.subTest(inject, only=only):
                if shape is True and os.geteuid() != 0:
                    self.skipTest("needs root, to give a link to nobody")
                self.edited(shape)
                self.write("secret", b"root's own")
                os.chmod(secret, 0o600)
                run = subprocess.Popen(
                    ["strace", "-f", "-qq", "-o", os.devnull] +
                    (["-P", only] if only else []) +
                    ["-e", "inject=" + inject] + support.command(
                         "pkg", "work", "merge"), stdin=subprocess.PIPE,
                    stdout=subprocess.PIPE, cwd=self.tmp, env=TRACED_ENV)
                if meanwhile:
                    time.sleep(0.5)
                    meanwhile()
                out = run.communicate(b"\n", timeout=60)[0].decode()
                self.assertEqual(self.read("secret"), b"root's own")
                held = self.read(("game" if shape is True else "pkg") +
                                 "/shaders.spk")
                self.assertNotIn(held, (OLD, swapped), out)
                if line:
                    waiting = re.search(line, out).group(1)
                    self.assertEqual(self.read("pkg/" + waiting), OLD)
                    self.tool(["pkg", "work", "merge"])
                    self.assertEqual(self.leftovers(), [])
                else:
                    self.assertEqual(self.read("pkg/shaders.spk.bak"),
                                     replaced or OLD, out)

    def test_durability_order(self):
        """Each file is on the disk before a name leads to it, the folder
        after, and the older backup goes only once the new package is in:
        by rename, with copies where there are no hard links, and in
        place."""
        expected = {
            False: ["sync copy", "sync new", "publish", "sync folder",
                    "backup"],
            "copies": ["sync copy", "original", "sync new", "sync copy",
                       "sync folder", "publish", "sync folder", "backup"],
            "hard": ["sync copy", "sync copy", "sync folder", "sync package",
                     "sync package", "sync package", "backup"],
        }
        # What a call of the log is, by the first pattern it matches.
        names = [(r"fsync\(.*shaders\.spk\.(orig|bak|guard)~", "sync copy"),
                 (r"fsync\(.*new~", "sync new"),
                 (r"fsync\(.*shaders\.spk>", "sync package"),
                 (r"fsync\(.*/pkg>", "sync folder"),
                 (r"rename.*new~", "publish"),
                 (r'rename.*"pkg/shaders\.spk\.bak"', "backup"),
                 (r'rename.*"pkg/shaders\.spk\.orig"', "original")]
        for shape, steps in expected.items():
            with self.subTest(shape):
                self.edited(shape == "hard" and "hard")
                calls = self.trace(
                    ["-e", "trace=fsync,link,rename,renameat,renameat2"] +
                    (["-e", "inject=link:error=EPERM"] if shape == "copies"
                     else []), ["pkg", "work", "merge"])
                seen = []
                for call in calls:
                    seen += [name for pattern, name in names
                             if re.match(pattern, call)][:1]
                self.assertEqual(seen, steps, calls)

    def test_extraction_leaves_no_cut_entry(self):
        """Into an empty work folder, and over an earlier extraction's
        files."""
        earlier = {name: b"// an earlier extraction\n" + content
                   for name, content in ENTRIES}
        for over in (False, True):
            def prepare():
                self.fresh(False, work=True)
                if over:
                    self.write("game/shaders.spk", package_of(earlier.items()))
                    self.tool(["game", "work", "extract"])

            prepare()
            for fault in self.faults(["pkg", "work", "extract"]):
                with self.subTest(earlier=over, fault=fault):
                    prepare()
                    self.tool(["pkg", "work", "extract"], fault)
                    # A merge of what was left packs only whole entries: the
                    # package's, or the earlier extraction's, never a cut one.
                    _, out = self.tool(["game", "work", "merge"])
                    if "Comleted merge" not in out or "aborting" in out:
                        continue
                    for name, content in entries_of(self.read(
                            "game/shaders.spk")):
                        self.assertIn(content, (dict(ENTRIES)[name],
                                                earlier[name]), (name, out))


if __name__ == "__main__":
    support.main()
