#!/usr/bin/env bash
# The wheels' install test. Builds the x86-64 and aarch64 wheels and installs
# them with pip in minimal Debian roots that have no FFmpeg
# (scripts/wheel/debian-root.sh): the x86-64 wheel in the oldest suite the archive
# keeps (bullseye: glibc 2.31, Python 3.9) and in trixie (Python 3.13), the
# aarch64 wheel in an arm64 bullseye root, run through qemu-aarch64-static.
# Checks there that the extensions need nothing outside glibc and export
# nothing but their init functions; that the x86-64 wheel gives byte for byte
# the results of the system-FFmpeg build on generated clips and on the demo's
# sample, its metrics on the processor's fastest kernel form; that the
# aarch64 wheel gives the same results at the reduced analysis resolution on
# a few clips. Then loads the x86-64 wheel beside PyAV, which carries another
# FFmpeg, in one process.
# Usage: tests/wheel/run.sh   (as root: chroot)
set -euo pipefail
cd "$(dirname "$0")/../.."
repo="$PWD"
here="$repo/tests/wheel"

bash scripts/wheel/build.sh
bash scripts/wheel/build.sh --arch aarch64
wheel=$(ls dist/vantrel_rs-*_x86_64.whl)
arm_wheel=$(ls dist/vantrel_rs-*_aarch64.whl)
bash scripts/demo.sh >/dev/null  # the demo's sample, build/demo/sample.mp4

work=build/wheel-test
rm -rf "$work"
mkdir -p "$work/clips"
.venv/bin/python "$here/clips.py" "$work/clips"
cp build/demo/sample.mp4 "$work/clips/"
clips=()
for clip in "$work"/clips/*.*; do clips+=("$(basename "$clip")"); done
clips+=(png-seq/%03d.png missing.mp4)
arm_clips=(h264.mp4 hevc.mkv vp9.webm av1.mkv mpeg2.ts ten-bit.mkv sample.mp4)

echo "== system-FFmpeg build: results"
.venv/bin/python "$here/results.py" "$work/clips" "${clips[@]}" >"$work/expected.json"
.venv/bin/python "$here/results.py" --reduced "$work/clips" "${arm_clips[@]}" >"$work/expected-reduced.json"

# Inside a root the test lives in /tmp/vantrel-wheel-test, cleared each run.
inside=/tmp/vantrel-wheel-test
root=""
enter_root() {
  root="$1"
  exec 9>"$root.lock"
  flock 9
  rm -rf "${root:?}$inside"
  mkdir -p "$root$inside"
  cp -r "$work/clips" "$here/results.py" "$2" "$root$inside/"
  if find "$root/usr/lib" "$root/lib" -name 'libav*.so*' -o -name 'libswscale.so*' | grep .; then
    echo "wheel test: the Debian root has FFmpeg libraries" >&2
    exit 1
  fi
}
leave_root() {
  flock -u 9
}
chroot=$(command -v chroot)
run_env() { env -i PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 "$@"; }
in_root() { run_env "$chroot" "$root" "$@"; }
trap 'umount -q "$root/proc" 2>/dev/null || true' EXIT

# check_extensions SITE LOADER GLIBC: each extension module under SITE (a
# folder in the root) needs only glibc's libraries (GLIBC, a pattern), as
# LOADER lists them, and exports only its init function.
check_extensions() {
  local site="$1" loader="$2" glibc="$3" extension outside exported
  mapfile -t extensions < <(cd "$root" && find ".$site" -name '*.abi3.so' | sed 's|^\.||')
  if ((${#extensions[@]} != 2)); then
    echo "wheel test: ${#extensions[@]} extension modules installed, not 2" >&2
    exit 1
  fi
  for extension in "${extensions[@]}"; do
    echo "$extension: newest glibc symbol version" \
      "$(objdump -T "$root$extension" | grep -o 'GLIBC_[0-9.]*' | sort -uV | tail -n 1)"
    # shellcheck disable=SC2086
    in_root $loader "$extension" | tee "$work/ldd.txt" | sed 's/^/  /'
    outside=$(awk '{ print $1 }' "$work/ldd.txt" | grep -Ev "$glibc" || true)
    if [ -n "$outside" ]; then
      echo "wheel test: $extension needs libraries outside glibc: $outside" >&2
      exit 1
    fi
    exported=$(nm -D --defined-only "$root$extension" | awk '{ print $3 }')
    echo "  exports: $exported"
    if grep -qv '^PyInit_' <<<"$exported"; then
      echo "wheel test: $extension exports more than its init function" >&2
      exit 1
    fi
  done
}

# same EXPECTED ACTUAL WHAT: the two result texts are equal.
same() {
  if ! cmp -s "$1" "$2"; then
    echo "wheel test: $3 differ from the system build's:" >&2
    diff "$1" "$2" | head -n 40 >&2
    exit 1
  fi
}

x86_glibc='^(linux-vdso\.so\.1|libc\.so\.6|libm\.so\.6|libdl\.so\.2|libpthread\.so\.0|/lib64/ld-linux-x86-64\.so\.2)$'
for suite in bullseye trixie; do
  enter_root "$(bash scripts/wheel/debian-root.sh "$suite" amd64)" "$wheel"
  mount -t proc proc "$root/proc"
  echo "== Debian $suite (amd64, $(in_root python3 --version)): no FFmpeg, pip install $(basename "$wheel")"
  in_root python3 -m venv "$inside/venv"
  in_root "$inside/venv/bin/pip" install -q --no-index "$inside/$(basename "$wheel")"

  echo "== installed extensions: glibc version, shared libraries and exported symbols"
  check_extensions "$inside/venv/lib" ldd "$x86_glibc"

  echo "== Debian $suite: results of the wheel"
  in_root "$inside/venv/bin/python" "$inside/results.py" "$inside/clips" "${clips[@]}" >"$work/actual-$suite.json"
  same "$work/expected.json" "$work/actual-$suite.json" "the wheel's results in $suite"
  echo "identical: $(wc -c <"$work/expected.json") bytes of results on ${#clips[@]} inputs"
  umount "$root/proc"
  leave_root
done

# The kernel form follows the processor: with AVX2 it must be the AVX2 one.
form=$(.venv/bin/python -c 'import json, sys; print(json.load(open(sys.argv[1]))["metrics form"])' \
         "$work/actual-bullseye.json")
echo "metrics kernel form of the wheel: $form"
if grep -qw avx2 /proc/cpuinfo && [ "$form" != avx2 ]; then
  echo "wheel test: the processor has AVX2, the wheel's metrics run on $form" >&2
  exit 1
fi

enter_root "$(bash scripts/wheel/debian-root.sh bullseye arm64)" "$arm_wheel"
qemu=/usr/bin/qemu-aarch64-static
echo "== Debian bullseye (arm64 under qemu, $(in_root $qemu /usr/bin/python3 --version)):" \
  "no FFmpeg, pip install $(basename "$arm_wheel")"
in_root $qemu /usr/bin/python3 -m pip install -q --no-index --no-deps --target "$inside/site" \
  "$inside/$(basename "$arm_wheel")"
echo "== installed extensions: glibc version, shared libraries and exported symbols"
check_extensions "$inside/site" "$qemu /lib/ld-linux-aarch64.so.1 --list" \
  '^(linux-vdso\.so\.1|libc\.so\.6|libm\.so\.6|libdl\.so\.2|libpthread\.so\.0|/lib/ld-linux-aarch64\.so\.1)$'
echo "== Debian bullseye (arm64): results of the wheel at the reduced resolution"
run_env PYTHONPATH="$inside/site" "$chroot" "$root" $qemu /usr/bin/python3 "$inside/results.py" --reduced \
  "$inside/clips" "${arm_clips[@]}" >"$work/actual-arm64.json"
same "$work/expected-reduced.json" "$work/actual-arm64.json" "the aarch64 wheel's results"
echo "identical: $(wc -c <"$work/expected-reduced.json") bytes of results on ${#arm_clips[@]} inputs"
leave_root

echo "== beside PyAV in one process"
pyav=build/wheel-test-pyav
[ -x "$pyav/bin/python" ] || python3 -m venv "$pyav"
"$pyav/bin/python" -m pip install -q av
"$pyav/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
for order in av-first ours-first; do
  (cd "$work/clips" && "$repo/$pyav/bin/python" "$here/beside_pyav.py" "$order" \
     "$repo/$work/expected.json" h264.mp4 hevc.mkv vp9.webm av1.mkv mpeg2.ts ten-bit.mkv)
done
echo "wheel test: passed"
