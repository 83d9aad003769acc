#!/usr/bin/env bash
# The main job on a built-in sample: a generated clip with three scenes.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --run-only
mkdir -p build/demo
sample=build/demo/sample.mp4
if [ ! -f "$sample" ]; then
  ffmpeg -hide_banner -loglevel error -y \
    -f lavfi -t 3 -i testsrc2=size=640x360:rate=25 \
    -f lavfi -t 3 -i mandelbrot=size=640x360:rate=25 \
    -f lavfi -t 3 -i "life=size=640x360:rate=25:mold=10:ratio=0.3:death_color=#204060:life_color=#e0c020" \
    -filter_complex "[0:v]format=yuv420p[a];[1:v]format=yuv420p[b];[2:v]format=yuv420p[c];[a][b][c]concat=n=3:v=1[v]" \
    -map "[v]" -c:v libx264 -pix_fmt yuv420p "$sample"
fi
echo "keyframes of $sample:"
.venv/bin/vantrel "$sample"
echo
echo "statistics text (head):"
.venv/bin/vantrel --format xvid "$sample" | head -n 12
