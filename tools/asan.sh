#!/usr/bin/env bash
# Builds the tool and every test with AddressSanitizer and UBSan (the asan
# preset, in build-asan) and runs the whole suite; any memory error, leak or
# undefined behaviour stops the test it happens in.
# QUILLMERE_WERROR=ON turns warnings into errors (CI sets it).
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh

cmake --preset asan -DQUILLMERE_WERROR="${QUILLMERE_WERROR:-OFF}" >/dev/null
cmake --build --preset asan
ctest --preset asan
