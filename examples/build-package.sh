#!/usr/bin/env bash
# Rebuilds examples/shaders.spk from the sources in examples/src.
#
# The entries go in the order a merge lists a work directory (names compared
# with a-z folded to A-Z), so extracting the package and merging it back
# gives the same bytes. Keep that order when adding a source, and keep the
# number of sources even: a merge refuses an odd number of work files.
set -euo pipefail
cd "$(dirname "$0")"

python3 ../tools/spk.py build shaders.spk \
  src/blur.hlsl \
  src/fog.hlsl \
  src/tonemap.hlsl \
  src/water.hlsl
