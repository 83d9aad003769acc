#!/usr/bin/env bash
# Generates the seed corpus of the whole-analysis fuzz target: tiny clips in
# several containers, codecs and pixel formats, each with a cut, plus streams
# that change size or pixel format midway, single images and a file without
# video. Nothing generated here is committed.
# Usage: fuzz/make_seeds.sh [output dir, default fuzz/corpus-work/seeds]
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-fuzz/corpus-work/seeds}"
mkdir -p "$out"

ff() { ffmpeg -hide_banner -loglevel error -y -nostdin "$@"; }
# Two sources back to back (a hard cut), $1 frames each at size $2.
clip() {
  local frames="$1" size="$2"; shift 2
  ff -f lavfi -i "testsrc=size=$size:rate=25" -f lavfi -i "mandelbrot=size=$size:rate=25" \
     -filter_complex "[0:v]trim=end_frame=$frames[a];[1:v]trim=end_frame=$frames[b];[a][b]concat=n=2:v=1[v]" \
     -map "[v]" "$@"
}

clip 4 48x32 -c:v libx264 -preset ultrafast -pix_fmt yuv420p "$out/h264.mp4"
clip 4 48x32 -c:v libx264 -preset ultrafast -pix_fmt yuv444p -bf 2 "$out/h264-444-bframes.mkv"
clip 4 48x32 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -f h264 "$out/h264-annexb.h264"
clip 4 64x48 -c:v mpeg4 -q:v 8 "$out/mpeg4.avi"
clip 4 48x32 -c:v mpeg2video -q:v 8 -f mpegts "$out/mpeg2.ts"
clip 4 48x32 -c:v mpeg1video -q:v 8 -f mpeg "$out/mpeg1.mpg"
clip 4 48x32 -c:v mjpeg -q:v 10 "$out/mjpeg.avi"
clip 4 48x32 -c:v libvpx -b:v 50k "$out/vp8.webm"
clip 3 48x32 -c:v libvpx-vp9 -b:v 50k -deadline realtime "$out/vp9.ivf"
clip 3 48x32 -c:v libx265 -preset ultrafast -x265-params log-level=none "$out/hevc.mkv"
clip 3 48x32 -c:v ffv1 -pix_fmt yuv420p10le "$out/ffv1-10bit.nut"
clip 3 32x24 -c:v png -pix_fmt rgb24 "$out/png.mov"
clip 3 32x24 -pix_fmt gray -strict -1 "$out/gray.y4m"
clip 3 32x24 -c:v rawvideo -pix_fmt nv12 "$out/nv12.nut"
clip 3 32x24 -c:v gif "$out/anim.gif"
clip 3 48x32 -c:v flv "$out/flv1.flv"
clip 3 48x32 -c:v theora -q:v 3 "$out/theora.ogv" 2>/dev/null || \
  clip 3 48x32 -c:v libtheora -q:v 3 "$out/theora.ogv"
# Audio next to the video; audio alone (no video stream).
ff -f lavfi -i "testsrc=size=32x24:rate=25" -f lavfi -i "sine=r=8000" -t 0.5 \
   -c:v mpeg4 -c:a pcm_s16le "$out/with-audio.mkv"
ff -f lavfi -i "sine=r=8000" -t 0.2 -c:a pcm_s16le "$out/audio-only.wav"
# Single images.
ff -f lavfi -i "testsrc=size=32x24" -frames:v 1 "$out/image.png"
ff -f lavfi -i "testsrc=size=32x24" -frames:v 1 "$out/image.jpg"
# Streams that change size, then pixel format, midway: transport streams
# joined end to end.
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
ff -f lavfi -i "testsrc=size=48x32:rate=25" -frames:v 3 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -f mpegts "$tmp/a.ts"
ff -f lavfi -i "testsrc=size=64x48:rate=25" -frames:v 3 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -f mpegts "$tmp/b.ts"
ff -f lavfi -i "testsrc=size=48x32:rate=25" -frames:v 3 -c:v libx264 -preset ultrafast -pix_fmt yuv444p10le -f mpegts "$tmp/c.ts"
cat "$tmp/a.ts" "$tmp/b.ts" > "$out/size-change.ts"
cat "$tmp/a.ts" "$tmp/c.ts" > "$out/format-change.ts"
ls "$out" | wc -l
