#!/usr/bin/env bash
# Runs every test: the C++ tests, the C++ tests again under AddressSanitizer
# and UndefinedBehaviorSanitizer (with a short fuzzing run), the Python
# tests against the installed package, and the self-contained wheels' install
# test (tests/wheel/run.sh, as root).
# Usage: scripts/test.sh [--no-sanitize]
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=1
for arg in "$@"; do
  case "$arg" in
    --no-sanitize) sanitize=0 ;;
    *) echo "usage: $0 [--no-sanitize]" >&2; exit 2 ;;
  esac
done

bash scripts/setup.sh
export PATH="$PWD/.venv/bin:$PATH"
jobs=$(nproc)

echo "== C++ tests"
cmake -S . -B build/test -G Ninja -DVANTREL_BUILD_TESTS=ON -DVANTREL_BUILD_BENCHMARKS=ON >/dev/null
cmake --build build/test -j"$jobs"
ctest --test-dir build/test -j"$jobs" --output-on-failure

if ((sanitize)); then
  echo "== C++ tests under ASan/UBSan"
  cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVANTREL_BUILD_TESTS=ON -DVANTREL_SANITIZE=ON >/dev/null
  cmake --build build/asan -j"$jobs"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build/asan -j"$jobs" --output-on-failure
  if [ -x fuzz/run.sh ]; then
    echo "== short fuzzing run"
    bash fuzz/run.sh --smoke
  fi
fi

echo "== Python tests"
VANTREL_DUMP="$PWD/build/test/tools/vantrel_dump" .venv/bin/python -m pytest -q tests/python

echo "== wheels (x86-64, aarch64): built with FFmpeg inside, installed in Debian roots without FFmpeg"
bash tests/wheel/run.sh
