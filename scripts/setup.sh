#!/usr/bin/env bash
# Installs what the project needs on a Debian machine and builds the Python
# package into .venv. Idempotent: system packages are installed only when one
# is missing, and `apt-get update` runs only then.
# Usage: scripts/setup.sh [--run-only] [pip extras]
#   --run-only: only what building and running the package needs (the demo);
#               the extras then default to none.
#   Otherwise also the tool chain of the tests and of the wheel; the extras
#   default to "test,ray".
set -euo pipefail
cd "$(dirname "$0")/.."

run_only=0
if [ "${1-}" = "--run-only" ]; then
  run_only=1
  shift
fi
if ((run_only)); then
  extras="${1-}"
else
  extras="${1-test,ray}"
fi

# Building and running: the compiler, FFmpeg's development packages, the
# ffmpeg tool (--split, --report, --contact-sheet) and Python's venv.
packages=(pkg-config ffmpeg libavformat-dev libavcodec-dev libavutil-dev
          libswscale-dev g++ python3-dev python3-venv)
if ((!run_only)); then
  # The tests: GoogleTest and Google Benchmark; clang 19 builds the fuzz
  # targets (the first Debian clang that compiles libstdc++ 12's <expected>)
  # and llvm-19 has the symbolizer its sanitizers call. The wheel's static
  # FFmpeg (scripts/wheel/static-ffmpeg.sh: its assembly, dav1d's build, Debian's
  # sources, the CUDA loader headers) and the Debian root of its install test;
  # chromium and mkvtoolnix are readers of the command's files in the tests.
  packages+=(libgtest-dev libbenchmark-dev clang-19 libclang-rt-19-dev llvm-19
             valgrind nasm meson dpkg-dev libffmpeg-nvenc-dev debootstrap
             chromium mkvtoolnix)
fi
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
if ((!run_only)); then
  # The learned method's tests: ONNX Runtime and the model's companion wheel,
  # built from the cached graphs (the first build installs torch into a
  # throwaway environment: minutes, then cached; it cuts windows with the
  # package just installed).
  model_wheel="$(bash scripts/model/wheel.sh)"
  .venv/bin/python -m pip install -q onnxruntime==1.32.0
  # Its version is the weights' and stays when the graphs are rebuilt.
  .venv/bin/python -m pip install -q --force-reinstall --no-deps "$model_wheel"
fi
