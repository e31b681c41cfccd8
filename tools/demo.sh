#!/usr/bin/env bash
# The tool's main job in one command: installs what is missing, builds, then
# extracts the example package into a fresh work directory, edits a shader,
# merges the directory back, shows the package before and after and what
# changed between the package and its backup.
# Nothing outside build/ and a temporary directory is touched.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh
cmake --preset default >/dev/null
# The tool alone: the tests take most of a full build.
cmake --build --preset demo

tool="$PWD/build/Quillmere"
spk="$PWD/tools/spk.py"
demo="$(mktemp -d "${TMPDIR:-/tmp}/quillmere-demo.XXXXXX")"
trap 'rm -rf "$demo"' EXIT
mkdir "$demo/package" "$demo/work"
cp examples/shaders.spk "$demo/package/"

step() { printf '\n== %s\n' "$*"; }

step "The example package"
python3 tools/spk.py show "$demo/package/shaders.spk"

step "Extract it into an empty work directory (the newline answers the key wait)"
echo | "$tool" "$demo/package" "$demo/work" extract
ls -l "$demo/work"

step "Edit water.hlsl: rougher waves, and a note on why"
sed -i 's|^static const float WaveScale = 0.25;$|// Rougher waves for the storm level.\nstatic const float WaveScale = 0.6;|' \
  "$demo/work/water.hlsl"
grep -n -A1 'storm' "$demo/work/water.hlsl"

step "Merge the work directory back into shaders.spk"
echo | "$tool" "$demo/package" "$demo/work" merge

step "The package now: water.hlsl has its new size"
python3 tools/spk.py show "$demo/package/shaders.spk"

step "What the merge changed: the package against its backup (status 1: they differ)"
(cd "$demo/package" && python3 "$spk" diff shaders.spk shaders.spk.bak) ||
  [ $? -eq 1 ]
