#!/usr/bin/env bash
# Installs what the project needs on a Debian machine and builds the Python
# package into .venv. Idempotent: system packages are installed only when one
# is missing, and `apt-get update` runs only then.
# Usage: scripts/setup.sh [pip extras, default "test,ray"]
set -euo pipefail
cd "$(dirname "$0")/.."

extras="${1-test,ray}"
# clang 19 builds the fuzz targets (the first Debian clang that compiles
# libstdc++ 12's <expected>); llvm-19 has the symbolizer its sanitizers call.
# The next line: the wheel's static FFmpeg (scripts/static-ffmpeg.sh: its
# assembly, dav1d's build, Debian's sources, the CUDA loader headers) and the
# Debian root of its install test; chromium and mkvtoolnix are readers of the
# command's files in the tests.
packages=(pkg-config ffmpeg libavformat-dev libavcodec-dev libavutil-dev
          libswscale-dev libgtest-dev libbenchmark-dev clang-19 libclang-rt-19-dev
          llvm-19 valgrind g++ python3-venv
          nasm meson dpkg-dev libffmpeg-nvenc-dev debootstrap
          chromium mkvtoolnix)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if [ ! -x .venv/bin/python ]; then
  python3 -m venv .venv
fi
# CMake 3.26 or later (stable-ABI modules) and ninja come from PyPI.
.venv/bin/python -m pip install -q --upgrade pip "cmake>=3.26" ninja scikit-build-core
export PATH="$PWD/.venv/bin:$PATH"
target="."
[ -n "$extras" ] && target=".[${extras}]"
.venv/bin/python -m pip install -q --no-build-isolation "$target"
