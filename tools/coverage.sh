#!/usr/bin/env bash
# How much of the product the native suite runs. Builds with gcc's coverage
# counts in build-coverage/ (the `coverage` preset), runs every test there,
# and prints line and branch coverage per product file and in total.
#
# Everything counts: the unit tests, the children they fork (the harness in
# tests/support writes a child's counts before it ends), and the end-to-end
# suites, the fault sweep and the benchmark's quick run, which all run the
# instrumented tool. The preset links __gcov_dump in for the harness, which
# only names it weakly. Branches only an exception could take, and those the
# compiler proved unreachable, are left out; the tests themselves are not
# counted.
# Usage: tools/coverage.sh    (exit status non-zero when a test failed)
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh cmake ninja-build g++ libgtest-dev python3 strace gcovr

cmake --preset coverage -DQUILLMERE_WERROR="${QUILLMERE_WERROR:-OFF}" \
  >/dev/null
cmake --build --preset coverage
# Counts left by an earlier run would add to this one's.
find build-coverage -name '*.gcda' -delete
status=0
ctest --preset coverage || status=$?

summary=build-coverage/coverage.json
gcovr --root . --object-directory build-coverage \
  --filter 'app/' --filter 'package/' --filter 'platform/' \
  --exclude 'tests/' --exclude-directories 'build-coverage/CMakeFiles/[0-9]' \
  --exclude-throw-branches --exclude-unreachable-branches \
  --json-summary "$summary"
python3 - "$summary" <<'PY'
import json
import sys

with open(sys.argv[1]) as f:
    summary = json.load(f)


def row(name, lines, lines_total, branches, branches_total):
    def share(done, total):
        return "%5.1f%% (%d/%d)" % (100.0 * done / total if total else 100.0,
                                    done, total)
    print("%-32s %-20s %s" % (name, share(lines, lines_total),
                              share(branches, branches_total)))


print()
print("%-32s %-20s %s" % ("file", "lines", "branches"))
for entry in sorted(summary["files"], key=lambda e: e["filename"]):
    row(entry["filename"], entry["line_covered"], entry["line_total"],
        entry["branch_covered"], entry["branch_total"])
row("total", summary["line_covered"], summary["line_total"],
    summary["branch_covered"], summary["branch_total"])
PY
exit "$status"
