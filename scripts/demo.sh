#!/usr/bin/env bash
# The main job on a built-in sample: a generated clip with three scenes.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh ""
mkdir -p build/demo
sample=build/demo/sample.mp4
if [ ! -f "$sample" ]; then
  ffmpeg -hide_banner -loglevel error -y \
    -f lavfi -i testsrc2=size=640x360:rate=25:duration=3 \
    -f lavfi -i mandelbrot=size=640x360:rate=25:duration=3 \
    -f lavfi -i "life=size=640x360:rate=25:mold=10:ratio=0.3:death_color=#204060:life_color=#e0c020" \
    -filter_complex "[2:v]trim=duration=3,format=yuv420p[l];[0:v][1:v][l]concat=n=3:v=1[v]" \
    -map "[v]" -c:v libx264 -pix_fmt yuv420p "$sample"
fi
echo "keyframes of $sample:"
.venv/bin/vantrel "$sample"
echo
echo "statistics text (head):"
.venv/bin/vantrel --format xvid "$sample" | head -n 12
