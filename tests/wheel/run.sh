#!/usr/bin/env bash
# The wheel's install test. Builds the wheel, installs it with pip in a
# minimal Debian root that has no FFmpeg (scripts/debian-root.sh) and checks
# there that its extensions need nothing outside glibc, export nothing but
# their init functions, and give byte for byte the results of the
# system-FFmpeg build on generated clips and on the demo's sample. Then loads
# it beside PyAV, which carries another FFmpeg, in one process.
# Usage: tests/wheel/run.sh   (as root: chroot)
set -euo pipefail
cd "$(dirname "$0")/../.."
repo="$PWD"
here="$repo/tests/wheel"

bash scripts/wheel.sh
wheel=$(ls dist/vantrel_rs-*.whl)
root=$(bash scripts/debian-root.sh)
bash scripts/demo.sh >/dev/null  # the demo's sample, build/demo/sample.mp4

work=build/wheel-test
rm -rf "$work"
mkdir -p "$work/clips"
.venv/bin/python "$here/clips.py" "$work/clips"
cp build/demo/sample.mp4 "$work/clips/"
clips=()
for clip in "$work"/clips/*.*; do clips+=("$(basename "$clip")"); done
clips+=(png-seq/%03d.png missing.mp4)

echo "== system-FFmpeg build: results"
(cd "$work/clips" && "$repo/.venv/bin/python" "$here/results.py" "${clips[@]}") >"$work/expected.json"

# Inside the root the test lives in /tmp/vantrel-wheel-test, cleared each run.
exec 9>"$root.lock"
flock 9
inside=/tmp/vantrel-wheel-test
rm -rf "${root:?}$inside"
mkdir -p "$root$inside"
cp -r "$work/clips" "$here/results.py" "$wheel" "$root$inside/"
mount -t proc proc "$root/proc"
trap 'umount "$root/proc"' EXIT
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 "$@"; }

echo "== Debian root: no FFmpeg, pip install $(basename "$wheel")"
if in_root /sbin/ldconfig -p | grep -E 'libav(codec|format|util)|libswscale'; then
  echo "wheel test: the Debian root has FFmpeg libraries" >&2
  exit 1
fi
in_root python3 -m venv "$inside/venv"
in_root "$inside/venv/bin/pip" install -q --no-index "$inside/$(basename "$wheel")"

echo "== installed extensions: shared libraries and exported symbols"
mapfile -t extensions < <(cd "$root" && find ".$inside/venv/lib" -name '*.abi3.so' | sed 's|^\.||')
if ((${#extensions[@]} == 0)); then
  echo "wheel test: no extension module installed" >&2
  exit 1
fi
glibc='^(linux-vdso\.so\.1|libc\.so\.6|libm\.so\.6|libdl\.so\.2|libpthread\.so\.0|librt\.so\.1|/lib64/ld-linux-x86-64\.so\.2)$'
for extension in "${extensions[@]}"; do
  echo "ldd $extension:"
  in_root ldd "$extension" | tee "$work/ldd.txt" | sed 's/^/  /'
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

echo "== Debian root: results of the wheel"
in_root /bin/sh -c "cd $inside/clips && $inside/venv/bin/python $inside/results.py $(printf "'%s' " "${clips[@]}")" \
  >"$work/actual.json"
if ! cmp -s "$work/expected.json" "$work/actual.json"; then
  echo "wheel test: the wheel's results differ from the system build's:" >&2
  diff "$work/expected.json" "$work/actual.json" | head -n 40 >&2
  exit 1
fi
echo "identical: $(wc -c <"$work/expected.json") bytes of results on ${#clips[@]} inputs"

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
