#!/usr/bin/env bash
# Builds the tool and runs every test, installing what is missing first.
# Usage: tools/test.sh [preset...]   (default: default windows)
#   default  the native build
#   asan     the native build with ASan and UBSan on every target
#   windows  the Windows build, cross-compiled with mingw-w64 and run under wine
# QUILLMERE_WERROR=ON turns warnings into errors (CI sets it). Stops at the
# first preset that fails, so the last thing printed is the summary of the
# last test run, and the exit status is non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(default windows)

native=(cmake ninja-build g++ libgtest-dev python3)
# googletest: its sources, built with the cross compiler for the Windows tests.
windows=(cmake ninja-build g++-mingw-w64-x86-64-posix googletest wine64 python3)

for preset in "${presets[@]}"; do
  case $preset in
    default|asan) tools/install-deps.sh "${native[@]}" ;;
    windows) tools/install-deps.sh "${windows[@]}" ;;
    *) echo "unknown preset: $preset" >&2; exit 2 ;;
  esac
done

for preset in "${presets[@]}"; do
  echo "=== $preset"
  cmake --preset "$preset" -DQUILLMERE_WERROR="${QUILLMERE_WERROR:-OFF}" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
