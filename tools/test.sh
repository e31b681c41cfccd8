#!/usr/bin/env bash
# Builds the tool and runs every test, installing what is missing first.
# Usage: tools/test.sh [step...]   (default: default asan fuzz windows)
#   default  the native build
#   asan     the native build with ASan and UBSan on every target
#   fuzz     every fuzz target for a bounded time (tools/fuzz.sh)
#   windows  the Windows build, cross-compiled with mingw-w64 and run under wine
# QUILLMERE_WERROR=ON turns warnings into errors (CI sets it). Stops at the
# first step that fails, so the last thing printed is the summary of the
# last test run, and the exit status is non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

steps=("$@")
[ ${#steps[@]} -eq 0 ] && steps=(default asan fuzz windows)

native=(cmake ninja-build g++ libgtest-dev python3 strace)
# googletest: its sources, built with the cross compiler for the Windows tests.
windows=(cmake ninja-build g++-mingw-w64-x86-64-posix googletest wine64 python3)

for step in "${steps[@]}"; do
  case $step in
    default|asan) tools/install-deps.sh "${native[@]}" ;;
    windows) tools/install-deps.sh "${windows[@]}" ;;
    fuzz) ;;  # tools/fuzz.sh installs its own
    *) echo "unknown step: $step" >&2; exit 2 ;;
  esac
done

# The guides name no file that is gone.
python3 tools/check_doc_paths.py

for step in "${steps[@]}"; do
  echo "=== $step"
  if [ "$step" = fuzz ]; then
    tools/fuzz.sh
    continue
  fi
  cmake --preset "$step" -DQUILLMERE_WERROR="${QUILLMERE_WERROR:-OFF}" >/dev/null
  cmake --build --preset "$step"
  ctest --preset "$step"
done
