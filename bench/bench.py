#!/usr/bin/env python3
"""Times Quillmere next to the tools users already know, and prints one table.

    bench/bench.py                 the full run (about 3 minutes, 6 GB of disk)
    bench/bench.py --quick         small sizes, one pair: checks the script works
    options: --pairs N  --keep  --dir PARENT  --binary PATH

It makes three packages with the project's own package writer (tools/spk.py):
20,000 entries of 200 to 8,000 bytes, 100,000 entries of the same kind, and
one entry of 1 GiB. Then it runs each comparison in alternating pairs (tool,
other, tool, other, ...) after one untimed run of each, every run on fresh
output after a sync, and reports the median, minimum and maximum of the
per-pair ratios:

  - extraction of the 20,000 entries vs `tar -xf` of an archive holding the
    same 40,000 work files, each into a fresh directory;
  - the same extraction vs the floor, bench/floor.c (built here with the
    system's C compiler), which does nothing but open, write and close each
    of those work files;
  - merge of that work directory vs `tar -cf` of it;
  - extraction of the 1 GiB entry vs `cat` of the package, CPU and wall time;
  - merge of 100,000 entries vs merge of 20,000;
  - the peak memory of every run, as `/usr/bin/time -v` reports it;
  - the system calls per work file of one extraction of the 20,000 entries,
    as `strace -f -c` counts them (untimed).

Without --binary it installs what is missing (Debian packages), builds the tool
with `cmake --preset default` (RelWithDebInfo) and uses build/Quillmere.
Everything it makes lives in one new directory (inside build/ unless --dir
names another parent) that is removed at the end unless --keep is given.

Timings never make it fail: it exits non-zero only when something it runs
fails or a round trip does not give back the package it started from.
"""
import argparse
import os
import random
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tools"))
import spk  # noqa: E402  (the project's package writer)

TIME = "/usr/bin/time"
MIB = 1024 * 1024


class Sizes:
    def __init__(self, small, large, big, pairs):
        self.small = small  # entries of the package the tar comparisons use
        self.large = large  # entries of the package merged against `small`
        self.big = big      # bytes of the one large entry
        self.pairs = pairs


FULL = Sizes(small=20000, large=100000, big=1024 * MIB, pairs=7)
QUICK = Sizes(small=1000, large=5000, big=8 * MIB, pairs=1)


# --- packages ---------------------------------------------------------------

def text_pool(rng, size):
    """Shader-like text to cut contents from."""
    lines = []
    total = 0
    while total < size:
        line = "float4 v%d = tex%d.Sample(s%d, uv * %d.%02d) + c%d;\n" % (
            rng.randrange(1000), rng.randrange(8), rng.randrange(4),
            rng.randrange(10), rng.randrange(100), rng.randrange(64))
        lines.append(line)
        total += len(line)
    return "".join(lines).encode("ascii")


def entry_name(index):
    # Zero-padded, so the package's order is the order a merge lists them in.
    return "shader_%06d.hlsl" % index


def write_entries_package(path, count, rng, pool):
    """`count` entries of 200 to 8,000 bytes, streamed to `path`."""
    with open(path, "wb", buffering=MIB) as out:
        out.write(struct.pack("<Ii", 1, count))
        for index in range(count):
            size = rng.randint(200, 8000)
            start = rng.randrange(len(pool) - size)
            out.write(spk.entry_header(entry_name(index), size,
                                       word0=index, word1=0x5EED))
            out.write(pool[start:start + size])


def write_big_package(path, size, pool):
    """One entry of `size` bytes, written in blocks."""
    block = (pool * (MIB // len(pool) + 1))[:MIB]
    with open(path, "wb") as out:
        out.write(struct.pack("<Ii", 1, 1))
        out.write(spk.entry_header("big_shader.hlsl", size))
        left = size
        while left > 0:
            part = min(left, len(block))
            out.write(block[:part])
            left -= part


# --- timed runs ---------------------------------------------------------------

class Run:
    def __init__(self, wall, cpu, peak_kib):
        self.wall = wall
        self.cpu = cpu
        self.peak_kib = peak_kib


class Runner:
    def __init__(self, scratch, use_time, sync):
        self.scratch = scratch
        self.use_time = use_time
        self.sync = sync

    def run(self, argv, stdout_path=None):
        """Runs `argv` with stdin from /dev/null and stdout to /dev/null (or a
        new file); returns its wall time, CPU time and peak memory."""
        report = os.path.join(self.scratch, "time.txt")
        stderr_path = os.path.join(self.scratch, "stderr.txt")
        command = [TIME, "-v", "-o", report] + argv if self.use_time else argv
        actions = [
            (os.POSIX_SPAWN_OPEN, 0, "/dev/null", os.O_RDONLY, 0),
            (os.POSIX_SPAWN_OPEN, 1, stdout_path or "/dev/null",
             os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644),
            (os.POSIX_SPAWN_OPEN, 2, stderr_path,
             os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644),
        ]
        if self.sync:
            # The previous run's dirty pages go to disk now, not during this run.
            os.sync()
        start = time.perf_counter()
        pid = os.posix_spawnp(command[0], command, os.environ,
                              file_actions=actions)
        _, status, usage = os.wait4(pid, 0)
        wall = time.perf_counter() - start
        if os.waitstatus_to_exitcode(status) != 0:
            with open(stderr_path, errors="replace") as f:
                sys.exit("failed: %s\n%s" % (" ".join(argv), f.read()))
        peak = usage.ru_maxrss
        if self.use_time:
            with open(report) as f:
                for line in f:
                    if "Maximum resident set size" in line:
                        peak = int(line.rsplit(":", 1)[1])
        return Run(wall, usage.ru_utime + usage.ru_stime, peak)


def fresh_dir(path):
    if os.path.exists(path):
        shutil.rmtree(path)
    os.mkdir(path)
    return path


def remove(path):
    if os.path.isdir(path):
        shutil.rmtree(path)
    elif os.path.exists(path):
        os.remove(path)


def pairs(count, first, second, label):
    """Alternates first() and second() `count` times; both prepare their own
    fresh output and return a Run. One untimed run of each comes first, so
    neither pays alone for reading its input back into memory."""
    first()
    second()
    runs = []
    for index in range(count):
        a = first()
        b = second()
        runs.append((a, b))
        print("  %s pair %d: %.3f s / %.3f s wall, %.3f s / %.3f s CPU" %
              (label, index + 1, a.wall, b.wall, a.cpu, b.cpu), flush=True)
    return runs


def ratio_stats(runs, measure):
    ratios = [measure(a) / measure(b) if measure(b) > 0 else float("inf")
              for a, b in runs]
    return statistics.median(ratios), min(ratios), max(ratios)


def count_syscalls(argv):
    """System calls `argv` makes, as `strace -f -c` counts them; None when
    strace is not installed or the run fails under it (a sanitizer build's
    leak checker cannot run under ptrace)."""
    if shutil.which("strace") is None:
        return None
    summary = "strace-summary.txt"
    traced = subprocess.run(["strace", "-f", "-c", "-o", summary] + argv,
                            stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    if traced.returncode != 0:
        return None
    with open(summary) as f:
        for line in f:
            fields = line.split()
            # The closing line: "100.00  seconds  usecs/call  calls  errors  total".
            if fields and fields[-1] == "total":
                return int(fields[3])
    return None


def build_floor(scratch):
    """bench/floor.c built into `scratch`; None without a C compiler."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        return None
    floor = os.path.join(scratch, "floor")
    subprocess.run([compiler, "-O2", "-o", floor,
                    os.path.join(REPO, "bench", "floor.c")], check=True)
    return floor


def count_files(path):
    return len(os.listdir(path))


def listing(path):
    """Every file of `path` by name, with its bytes."""
    files = {}
    for name in os.listdir(path):
        with open(os.path.join(path, name), "rb") as f:
            files[name] = f.read()
    return files


def same_file(left, right):
    return subprocess.run(["cmp", "-s", left, right]).returncode == 0


# --- the benchmark ------------------------------------------------------------

def build_tool():
    subprocess.run([os.path.join(REPO, "tools", "install-deps.sh")], check=True)
    subprocess.run(["cmake", "--preset", "default"], cwd=REPO, check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", "--preset", "default", "--target",
                    "Quillmere"], cwd=REPO, check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(REPO, "build", "Quillmere")


def machine(path):
    fstype = subprocess.run(["df", "--output=fstype", path],
                            capture_output=True, text=True).stdout.split()[-1]
    tar = subprocess.run(["tar", "--version"], capture_output=True,
                         text=True).stdout.splitlines()[0]
    cat = subprocess.run(["cat", "--version"], capture_output=True,
                         text=True).stdout.splitlines()[0]
    return "%d cores, %s file system, Linux %s, %s, %s" % (
        os.cpu_count(), fstype, os.uname().release, tar, cat)


def benchmark(binary, floor, sizes, runner):
    """Runs every comparison in the current directory, with the short
    relative paths a user would type (tar gets them too)."""
    rng = random.Random(7)
    pool = text_pool(rng, 64 * 1024)
    small_pkg = fresh_dir("small-package")
    large_pkg = fresh_dir("large-package")
    big_pkg = fresh_dir("big-package")
    small_spk = os.path.join(small_pkg, "shaders.spk")
    print("making packages: %d entries, %d entries, one of %d MiB" %
          (sizes.small, sizes.large, sizes.big // MIB), flush=True)
    write_entries_package(small_spk, sizes.small, rng, pool)
    write_entries_package(os.path.join(large_pkg, "shaders.spk"), sizes.large,
                          rng, pool)
    write_big_package(os.path.join(big_pkg, "shaders.spk"), sizes.big, pool)

    def tool(package_dir, work_dir, mode):
        return runner.run([binary, package_dir, work_dir, mode])

    # The work directories the merges and tar read, made once by the tool.
    small_work = fresh_dir("small-work")
    large_work = fresh_dir("large-work")
    tool(small_pkg, small_work, "extract")
    tool(large_pkg, large_work, "extract")
    for work, count in ((small_work, sizes.small), (large_work, sizes.large)):
        if count_files(work) != 2 * count:
            sys.exit("extraction gave %d files in %s, expected %d" %
                     (count_files(work), work, 2 * count))
    # The archive holds the files in the order the package holds them, so
    # tar and the tool create the same files in the same order.
    archive = "small-work.tar"
    runner.run(["tar", "--sort=name", "-cf", archive, "-C", small_work, "."])

    # Every run writes into a directory of its own, and the many small files
    # stay until the end: ext4 passes over inodes freed in the last minutes
    # when it creates a file, so removing 40,000 files right before a run
    # would make that run's file creation crawl.
    outputs = []

    def fresh_output():
        path = "out-%d" % len(outputs)
        outputs.append(path)
        return fresh_dir(path)

    results = {}

    print("extraction of %d entries vs tar -xf" % sizes.small, flush=True)

    def extract_small():
        return tool(small_pkg, fresh_output(), "extract")

    def untar_small():
        return runner.run(["tar", "-xf", archive, "-C", fresh_output()])

    results["extract"] = pairs(sizes.pairs, extract_small, untar_small,
                               "extract/tar -x")

    if floor is not None:
        print("extraction of %d entries vs the floor" % sizes.small,
              flush=True)

        def floor_small():
            return runner.run([floor, small_spk, fresh_output()])

        # The floor writes the very files extraction writes.
        out = fresh_output()
        runner.run([floor, small_spk, out])
        if listing(out) != listing(small_work):
            sys.exit("the floor did not write the files extraction writes")
        results["floor"] = pairs(sizes.pairs, extract_small, floor_small,
                                 "extract/floor")
    out = fresh_output()
    calls = count_syscalls([binary, small_pkg, out, "extract"])
    results["calls per file"] = None if calls is None else \
        calls / float(count_files(out))

    print("merge of %d entries vs tar -cf" % sizes.small, flush=True)

    # A single large file is removed as soon as its run is over; that frees
    # one inode, which costs the next run nothing.
    def merge_small():
        out = fresh_output()
        run = tool(out, small_work, "merge")
        remove(os.path.join(out, "shaders.spk"))
        return run

    def tar_small():
        out = fresh_output()
        archive_out = os.path.join(out, "work.tar")
        run = runner.run(["tar", "-cf", archive_out, "-C", small_work, "."])
        remove(archive_out)
        return run

    # The round trip first: merging what was extracted gives the package back.
    out = fresh_output()
    tool(out, small_work, "merge")
    if not same_file(os.path.join(out, "shaders.spk"), small_spk):
        sys.exit("merging the extracted work files did not give back the "
                 "package they came from")
    remove(os.path.join(out, "shaders.spk"))

    results["merge"] = pairs(sizes.pairs, merge_small, tar_small,
                             "merge/tar -c")

    print("extraction of one %d MiB entry vs cat" % (sizes.big // MIB),
          flush=True)
    big_spk = os.path.join(big_pkg, "shaders.spk")

    def extract_big():
        out = fresh_output()
        run = tool(big_pkg, out, "extract")
        extracted = os.path.join(out, "big_shader.hlsl")
        if os.path.getsize(extracted) != sizes.big:
            sys.exit("the large entry was not extracted whole")
        remove(extracted)
        remove(os.path.join(out, "big_shader.pre"))
        return run

    def cat_big():
        copy = os.path.join(fresh_output(), "copy")
        run = runner.run(["cat", big_spk], stdout_path=copy)
        remove(copy)
        return run

    results["big"] = pairs(sizes.pairs, extract_big, cat_big, "extract/cat")

    print("merge of %d entries vs merge of %d" % (sizes.large, sizes.small),
          flush=True)

    def merge_large():
        out = fresh_output()
        run = tool(out, large_work, "merge")
        remove(os.path.join(out, "shaders.spk"))
        return run

    results["scale"] = pairs(sizes.pairs, merge_large, merge_small,
                             "merge large/small")
    return results


def report(results, sizes, judged):
    wall = lambda run: run.wall  # noqa: E731
    cpu = lambda run: run.cpu  # noqa: E731
    small = "{:,}".format(sizes.small)
    large = "{:,}".format(sizes.large)
    big = "%d MiB" % (sizes.big // MIB) if sizes.big < 1024 * MIB else \
        "%d GiB" % (sizes.big // (1024 * MIB))
    rows = [
        ("extract %s entries / tar -xf, wall" % small, "extract", wall, 0.85),
        ("extract %s entries / tar -xf, CPU" % small, "extract", cpu, None),
        ("extract %s entries / floor, wall" % small, "floor", wall, None),
        ("merge %s entries / tar -cf, wall" % small, "merge", wall, 0.8),
        ("merge %s entries / tar -cf, CPU" % small, "merge", cpu, None),
        # A large entry must stream in bounded memory (its peak is judged
        # below); no merge takes it back, so its speed is only shown.
        ("extract %s entry / cat, CPU" % big, "big", cpu, None),
        ("extract %s entry / cat, wall" % big, "big", wall, None),
        ("merge %s / merge %s entries, wall" % (large, small), "scale", wall,
         5.5),
    ]
    lines = ["| ratio | target | median | min | max | |",
             "|---|---|---|---|---|---|"]
    for label, key, measure, target in rows:
        if key not in results:
            lines.append("| %s | | no C compiler | | | |" % label)
            continue
        median, low, high = ratio_stats(results[key], measure)
        verdict = ""
        if target is not None and judged:
            verdict = "met" if median <= target else "MISSED"
        lines.append("| %s | %s | %.2f | %.2f | %.2f | %s |" % (
            label, "<= %.2f" % target if target else "", median, low, high,
            verdict))

    calls = results.get("calls per file")
    lines.append("| extract %s entries: system calls per work file | <= 3.30 "
                 "| %s | | | %s |" % (
                     small, "%.2f" % calls if calls is not None else "no strace",
                     ("met" if calls <= 3.3 else "MISSED")
                     if calls is not None and judged else ""))

    peaks = [
        ("Quillmere extract %s entries" % small, "extract", 0, 8.0),
        ("tar -xf", "extract", 1, None),
        ("Quillmere merge %s entries" % small, "merge", 0, 8.0),
        ("tar -cf", "merge", 1, None),
        ("Quillmere extract %s entry" % big, "big", 0, 8.0),
        ("cat", "big", 1, None),
        ("Quillmere merge %s entries" % large, "scale", 0, 12.0),
    ]
    lines += ["", "| peak memory (largest of the runs) | target | MiB | |",
              "|---|---|---|---|"]
    for label, key, side, target in peaks:
        peak = max(pair[side].peak_kib for pair in results[key]) / 1024.0
        verdict = ""
        if target is not None and judged:
            verdict = "met" if peak < target else "MISSED"
        lines.append("| %s | %s | %.1f | %s |" % (
            label, "< %.0f MiB" % target if target else "", peak, verdict))
    return "\n".join(lines)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="small sizes and one pair; timings not judged")
    parser.add_argument("--pairs", type=int, help="pairs per comparison")
    parser.add_argument("--keep", action="store_true",
                        help="keep the packages and work directories")
    parser.add_argument("--dir", help="parent of the scratch directory")
    parser.add_argument("--binary", help="the tool to time (skips the build)")
    args = parser.parse_args(argv)

    sizes = QUICK if args.quick else FULL
    if args.pairs:
        sizes.pairs = args.pairs
    if args.binary:
        binary = os.path.abspath(args.binary)
    else:
        binary = build_tool()
        if not os.path.exists(TIME):
            subprocess.run([os.path.join(REPO, "tools", "install-deps.sh"),
                            "time"], check=True)
        if shutil.which("strace") is None:
            subprocess.run([os.path.join(REPO, "tools", "install-deps.sh"),
                            "strace"], check=True)
    parent = os.path.abspath(args.dir or os.path.join(REPO, "build"))
    os.makedirs(parent, exist_ok=True)
    root = tempfile.mkdtemp(prefix="bench-", dir=parent)
    # Without /usr/bin/time the peaks come from the same rusage it reads.
    runner = Runner(root, use_time=os.path.exists(TIME), sync=not args.quick)
    try:
        print("machine: %s" % machine(root))
        floor = build_floor(root)
        os.chdir(root)
        results = benchmark(binary, floor, sizes, runner)
        judged = not args.quick and sizes.pairs >= 5
        print()
        print(report(results, sizes, judged))
        if not judged:
            print("\n(quick run or fewer than 5 pairs: targets not judged)")
    finally:
        os.chdir(REPO)
        if args.keep:
            print("kept: %s" % root)
        else:
            shutil.rmtree(root, ignore_errors=True)
            if not args.quick:
                # ext4 without a journal passes over freshly freed inodes for
                # about five minutes; a run started sooner creates its files
                # many times slower, the tool's and tar's alike.
                print("removed the scratch files: wait five minutes before "
                      "the next run")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
