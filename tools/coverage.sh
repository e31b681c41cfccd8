#!/usr/bin/env bash
# How much of the product the test suites run. Builds with gcc's coverage
# counts, runs every test there, and prints line and branch coverage per
# product file and in total.
#
# Native (build-coverage/, the `coverage` preset): everything counts: the
# unit tests, the children they fork (the harness in tests/support writes a
# child's counts before it ends), and the end-to-end suites, the fault sweep
# and the benchmark's quick run, which all run the instrumented tool. The
# preset links __gcov_dump in for the harness, which only names it weakly.
#
# Windows (build-coverage-windows/, the `coverage-windows` preset): the
# mingw-w64 build's unit and end-to-end tests under wine; the counts are
# written under wine like any file, and read with mingw-w64's gcov. The
# prefix's drive Z: leads to the Linux root, so gcovr is kept out of it,
# and each build's counts are searched for in its own directory alone.
#
# Branches only an exception could take, and those the compiler proved
# unreachable, are left out; the tests themselves are not counted.
# Usage: tools/coverage.sh [--windows | --windows-only]
#   (exit status non-zero when a test failed)
set -euo pipefail
cd "$(dirname "$0")/.."

builds=(native)
case ${1:-} in
  "") ;;
  --windows) builds=(native windows) ;;
  --windows-only) builds=(windows) ;;
  *) echo "usage: tools/coverage.sh [--windows | --windows-only]" >&2; exit 2 ;;
esac

tools/install-deps.sh cmake ninja-build g++ libgtest-dev python3 strace gcovr
for build in "${builds[@]}"; do
  if [ "$build" = windows ]; then
    tools/install-deps.sh g++-mingw-w64-x86-64-posix googletest wine64
  fi
done

status=0
summaries=()
for build in "${builds[@]}"; do
  preset=coverage dir=build-coverage gcov=gcov
  if [ "$build" = windows ]; then
    preset=coverage-windows dir=build-coverage-windows
    gcov=x86_64-w64-mingw32-gcov-posix
  fi
  cmake --preset "$preset" -DQUILLMERE_WERROR="${QUILLMERE_WERROR:-OFF}" \
    >/dev/null
  cmake --build --preset "$preset"
  # Counts left by an earlier run would add to this one's.
  find "$dir" -name '*.gcda' -delete
  rm -rf "$dir/fault-counts"
  QUILLMERE_FAULT_COUNTS=$PWD/$dir/fault-counts \
    ctest --preset "$preset" || status=$?
  # The fault sweep's runs each wrote their counts apart (a fault may have
  # spoilt them); what can be read is added to the build's.
  # Summed apart first: a merge into the whole build is slow.
  total=$dir/fault-total
  rm -rf "$total"
  for run in "$dir"/fault-counts/*/; do
    [ -d "$run$PWD/$dir" ] || continue
    if [ -d "$total" ]; then
      gcov-tool merge -o "$total" "$total" "$run$PWD/$dir" >/dev/null 2>&1 ||
        true
    else
      cp -r "$run$PWD/$dir" "$total"
    fi
  done
  if [ -d "$total" ]; then
    gcov-tool merge -o "$PWD/$dir" "$PWD/$dir" "$total" >/dev/null 2>&1 || true
    rm -rf "$total"
  fi
  summary=$dir/coverage.json
  gcovr --root . --object-directory "$dir" --gcov-executable "$gcov" \
    --filter 'app/' --filter 'package/' --filter 'platform/' \
    --exclude 'tests/' --exclude-directories "$dir/CMakeFiles/[0-9]" \
    --exclude-directories '.*/wine-prefix' \
    --exclude-throw-branches --exclude-unreachable-branches \
    --json-summary "$summary" "$dir"
  summaries+=("$build" "$summary")
done

python3 - "${summaries[@]}" <<'PY'
import json
import sys


def share(done, total):
    return "%5.1f%% (%d/%d)" % (100.0 * done / total if total else 100.0,
                                done, total)


def row(name, lines, lines_total, branches, branches_total):
    print("%-32s %-20s %s" % (name, share(lines, lines_total),
                              share(branches, branches_total)))


args = sys.argv[1:]
for build, path in zip(args[0::2], args[1::2]):
    with open(path) as f:
        summary = json.load(f)
    print()
    print("%s build" % build)
    print("%-32s %-20s %s" % ("file", "lines", "branches"))
    for entry in sorted(summary["files"], key=lambda e: e["filename"]):
        row(entry["filename"], entry["line_covered"], entry["line_total"],
            entry["branch_covered"], entry["branch_total"])
    row("total", summary["line_covered"], summary["line_total"],
        summary["branch_covered"], summary["branch_total"])
PY
exit "$status"
