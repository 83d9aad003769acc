#!/usr/bin/env bash
# Builds the learned method's model (scripts/model/build.sh, cached) and its companion wheel,
# vantrel-rs-learned-model, into build/learned-model/; prints the wheel's path. The `learned`
# extra of vantrel-rs requires that distribution: install the wheel with
# `pip install --find-links build/learned-model 'vantrel-rs[learned]'` or directly.
# Usage: scripts/model/wheel.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
model_dir="$(bash scripts/model/build.sh)"
"${PYTHON:-python3}" scripts/model/wheel.py "$model_dir" build/learned-model
