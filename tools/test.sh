#!/usr/bin/env bash
# Builds the tool and runs every test, installing what is missing first.
# QUILLMERE_WERROR=ON turns warnings into errors (CI sets it).
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh

cmake --preset default -DQUILLMERE_WERROR="${QUILLMERE_WERROR:-OFF}" >/dev/null
cmake --build --preset default
ctest --preset default
