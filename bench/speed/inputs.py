"""The speed benchmarks' inputs: synthetic clips made with the ffmpeg tool into bench/inputs/ on first use."""
import json
import subprocess

from bench.common import FFMPEG, FFPROBE, INPUTS, OUT

# Five unrelated sources back to back: four hard cuts, motion in each part.
SOURCES = [
    "testsrc2",
    "life=mold=10:ratio=0.3:death_color=#202020:life_color=#e0c080",
    "gradients=speed=0.05",
    "cellauto=rule=110",
    "smptehdbars",
]


def source_args(size, rate, frames_per_part):
    seconds = frames_per_part / rate
    args = []
    for source in SOURCES:
        name, _, opts = source.partition("=")
        recipe = f"{name}=size={size}:rate={rate}" + (f":{opts}" if opts else "")
        args += ["-f", "lavfi", "-t", f"{seconds}", "-i", recipe]
    # The last part scrolls; light temporal noise keeps the bit rate realistic.
    graph = (f"[4]scroll=h=0.004[s];[0][1][2][3][s]concat=n={len(SOURCES)}:v=1,"
             "format=yuv420p,noise=alls=3:allf=t[v]")
    return args + ["-filter_complex", graph, "-map", "[v]"]


H264 = ["-c:v", "libx264", "-preset", "superfast", "-crf", "23", "-bf", "3", "-g", "250"]
TINY = ["-c:v", "libx264", "-preset", "ultrafast", "-bf", "3", "-g", "250"]
HEVC = ["-c:v", "libx265", "-preset", "ultrafast", "-crf", "26", "-x265-params", "log-level=error:bframes=3"]

# name -> (size, rate, frames per part, codec arguments); five parts each.
INPUT_RECIPES = {
    "h264_1080p": ("1920x1080", 30, 240, H264),
    "h264_720p": ("1280x720", 25, 200, H264),
    "hevc_2160p": ("3840x2160", 24, 48, HEVC),
    "h264_64x48_long": ("64x48", 1000, 4000, TINY),
}
MEMORY_RECIPES = {
    "h264_64x48_1k": ("64x48", 1000, 200, TINY),
    "h264_64x48_100k": ("64x48", 1000, 20000, TINY),
}
SMOKE_RECIPES = {"smoke_64x48": ("64x48", 25, 6, TINY)}


def make_input(name, recipe):
    path = INPUTS / f"{name}.mp4"
    if not path.exists():
        size, rate, per_part, codec = recipe
        INPUTS.mkdir(parents=True, exist_ok=True)
        tmp = path.with_suffix(".part.mp4")
        print(f"generating {path.name} ...", flush=True)
        subprocess.run([FFMPEG, "-nostdin", "-hide_banner", "-loglevel", "error", "-y",
                        *source_args(size, rate, per_part), *codec, str(tmp)],
                       check=True, stdin=subprocess.DEVNULL)
        tmp.rename(path)
    return path


def clip_1080p():
    return make_input("h264_1080p", INPUT_RECIPES["h264_1080p"])


def excerpt_1080p(frames):
    """The first `frames` frames of the 1080p input (stream copy)."""
    excerpt = OUT / f"h264_1080p_first{frames}.mp4"
    OUT.mkdir(parents=True, exist_ok=True)
    subprocess.run([FFMPEG, "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-i", str(clip_1080p()),
                    "-frames:v", str(frames), "-c", "copy", str(excerpt)], check=True)
    return excerpt


def frame_count(path):
    """Packets of the video stream and a description: codec, size, bit rate."""
    out = subprocess.run([FFPROBE, "-v", "error", "-select_streams", "v:0", "-count_packets",
                          "-show_entries", "stream=nb_read_packets,codec_name,width,height,bit_rate",
                          "-of", "json", str(path)], check=True, capture_output=True, text=True).stdout
    s = json.loads(out)["streams"][0]
    rate = int(s.get("bit_rate", 0)) / 1e6
    return int(s["nb_read_packets"]), f"{s['codec_name']} {s['width']}x{s['height']}, {rate:.1f} Mbit/s"
