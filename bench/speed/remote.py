#!/usr/bin/env python3
"""Remote inputs: the 1080p benchmark clip read from an S3-compatible server on 127.0.0.1 against
the local file, where the time goes, the read cache's kinds and block sizes, and the peak memory
of a remote analysis of a file of about 2 GB.

    .venv/bin/python -m bench.speed.remote            # several minutes
    .venv/bin/python -m bench.speed.remote --smoke    # the small clip, one round

Needs the test extra (moto's server, s3fs). Every analysis runs in a fresh process: its wall
time and peak resident memory are its own. Writes bench/speed/results/remote.md and remote.json.
"""
import argparse
import json
import subprocess
import sys
import tempfile
from pathlib import Path

from bench import common
from bench.speed.inputs import INPUT_RECIPES, SMOKE_RECIPES, make_input

ROOT = common.ROOT
RESULTS = Path(__file__).resolve().parent / "results"
sys.path.insert(0, str(ROOT / "tests" / "python"))
from servers import no_proxy, s3_server  # noqa: E402  (the test suite's server)

PEAK_RSS = """
def peak_rss_mib():  # VmHWM starts again at exec, unlike getrusage's ru_maxrss
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) / 1024
"""
# One analysis in a fresh process: the seconds to open the input (s3fs's import and session
# included) and to analyse it, its peak RSS and the bytes the cache asked for.
ANALYZE = PEAK_RSS + """
import json, sys, time
from vantrel import analyze, remote
url, options, cache, block, threads = sys.argv[1], json.loads(sys.argv[2]), sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
if cache:
    remote.CACHE_TYPE, remote.BLOCK_SIZE = cache, block
start = time.perf_counter()
with remote.opened(url, options or None) as f:
    opened = time.perf_counter()
    a = analyze(f, threads=threads)
    requested = getattr(getattr(f, "cache", None), "total_requested_bytes", None)
end = time.perf_counter()
print(json.dumps({"open_seconds": opened - start, "seconds": end - opened, "rss_mib": peak_rss_mib(),
                  "frames": a.frame_count, "keyframes": len(a.keyframes), "requested": requested or None}))
"""
# Reading the object to its end in the analysis' 1 MiB reads, nothing else: the transfer's share.
DOWNLOAD = """
import json, sys, time
from vantrel import remote
url, options = sys.argv[1], json.loads(sys.argv[2])
with remote.opened(url, options) as f:
    start = time.perf_counter()
    buffer = bytearray(1 << 20)
    while f.readinto(buffer):
        pass
print(json.dumps({"seconds": time.perf_counter() - start}))
"""
# The process with s3fs imported and the filesystem made, before any analysis: the floor of the RSS.
IMPORTS = PEAK_RSS + """
import json, sys
from vantrel import remote
remote.filesystem(sys.argv[1], json.loads(sys.argv[2]))
print(json.dumps({"rss_mib": peak_rss_mib()}))
"""
CACHES = [("readahead", 2), ("readahead", 8), ("readahead", 32), ("bytes", 8), ("first", 8), ("none", 8)]


def python(script, *args):
    out = subprocess.run([sys.executable, "-c", script, *map(str, args)], check=True, capture_output=True,
                         text=True, stdin=subprocess.DEVNULL).stdout
    return json.loads(out.strip().splitlines()[-1])


def big_file(folder: Path, seconds: float) -> Path:
    """A large file cheaply: 1080p raw video (3 MiB a frame) in NUT; 26.4 s make about 2 GB."""
    path = folder / "big_1080p_raw.nut"
    subprocess.run([common.FFMPEG, "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi",
                    "-t", str(seconds), "-i", "testsrc2=size=1920x1080:rate=25", "-c:v", "rawvideo",
                    "-pix_fmt", "yuv420p", str(path)],
                   check=True, stdin=subprocess.DEVNULL)
    return path


def median(values):
    return sorted(values)[len(values) // 2]


def measure(clip: Path, big: Path, rounds: int, save) -> dict:
    """The figures; `save(report)` is called with those of the clip, then with all."""
    import fsspec
    no_proxy()
    with s3_server() as options:
        # Long waits and no retries: a retried multipart upload trips the server on a loaded machine.
        fs = fsspec.filesystem("s3", **options, config_kwargs={"read_timeout": 3600, "retries": {"max_attempts": 1}},
                               skip_instance_cache=True)
        fs.mkdir("bench")
        fs.put_file(str(clip), "bench/clip.mp4")
        url, opts = "s3://bench/clip.mp4", json.dumps(options)
        times = {"local": [], "s3": [], "s3_open": [], "download": []}
        for _ in range(rounds):  # interleaved, so that a change of load hits all alike
            times["local"].append(python(ANALYZE, clip, "{}", "", 0, 0)["seconds"])
            remote = python(ANALYZE, url, opts, "", 0, 0)
            times["s3"].append(remote["seconds"])
            times["s3_open"].append(remote["open_seconds"])
            times["download"].append(python(DOWNLOAD, url, opts)["seconds"])
        caches = []
        for cache, mib in CACHES:
            result = python(ANALYZE, url, opts, cache, mib << 20, 0)
            caches.append({"cache": cache, "block_mib": mib, **result})
        report = {"clip": clip.name, "clip_mib": clip.stat().st_size / 2**20, "rounds": rounds,
                  "seconds": {k: median(v) for k, v in times.items()}, "all_seconds": times, "caches": caches,
                  "memory": None, "machine": common.machine()}
        save(report)
        fs.put_file(str(big), "bench/big.nut", chunksize=256 << 20)
        big_url = "s3://bench/big.nut"
        memory = {"file_mib": big.stat().st_size / 2**20,
                  "local": python(ANALYZE, big, "{}", "", 0, 0),
                  "s3": python(ANALYZE, big_url, opts, "", 0, 0),
                  "imports_rss_mib": python(IMPORTS, big_url, opts)["rss_mib"]}
    report["memory"] = memory
    save(report)
    return report


def to_markdown(r: dict) -> str:
    s, m = r["seconds"], r["memory"]
    lines = ["# Remote inputs: an S3-compatible server on 127.0.0.1", "",
             "Machine: {cpu}, {cores} cores, load {load_at_start:.1f} at start; {ffmpeg}".format(**r["machine"]),
             "",
             f"**{r['clip']}** ({r['clip_mib']:.0f} MiB), analyze(threads=0), median of {r['rounds']} "
             "interleaved rounds, each in a fresh process:", "",
             "| reading | seconds | against local |", "| --- | --- | --- |",
             f"| local file | {s['local']:.2f} | 1.00 |",
             f"| s3:// (readahead, {CACHES[1][1]} MiB), from open to result | {s['s3']:.2f} | "
             f"{s['s3'] / s['local']:.2f} |",
             f"| the object read to its end in 1 MiB reads, no analysis | {s['download']:.2f} | "
             f"{s['download'] / s['local']:.2f} |",
             f"| opening s3:// (s3fs's import, its session, the object's size) | {s['s3_open']:.2f} | |",
             "", "The engine reads the file object on its decoding thread, so a block's request holds the "
             "decoder up: the remote analysis costs about the local one plus the transfer.", "",
             "**Cache kinds and block sizes** (one run each, same clip):", "",
             "| cache | block MiB | seconds | peak RSS MiB | bytes requested / file |", "| --- | --- | --- | --- | --- |"]
    size = r["clip_mib"] * 2**20
    for c in r["caches"]:
        asked = "" if c["requested"] is None else f"{c['requested'] / size:.2f}"  # the none cache counts none
        lines.append(f"| {c['cache']} | {c['block_mib']} | {c['seconds']:.2f} | {c['rss_mib']:.0f} | {asked} |")
    if m is None:
        return "\n".join(lines + ["", "(the large file's figures are still to come)", ""])
    lines += ["", f"**Peak memory of a large file** ({m['file_mib']:.0f} MiB of 1080p raw video in NUT, "
              f"{m['local']['frames']} frames):", "",
              "| reading | seconds | peak RSS MiB |", "| --- | --- | --- |",
              f"| local file | {m['local']['seconds']:.1f} | {m['local']['rss_mib']:.0f} |",
              f"| s3:// (readahead, {CACHES[1][1]} MiB) | {m['s3']['seconds']:.1f} | {m['s3']['rss_mib']:.0f} |",
              f"| s3fs imported, nothing read | | {m['imports_rss_mib']:.0f} |", "",
              f"The cache asked for {m['s3']['requested'] / (m['file_mib'] * 2**20):.3f} times the file's bytes. "
              "The remote wall time here is the test server's: it serves ranges of a large object far slower "
              "than a store does. The figure this part measures is memory: above the local analysis by s3fs's "
              "own and the read-ahead block with the copies made while it downloads, whatever the file's "
              "size.", ""]
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true", help="the small clip, one round, no results written")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    recipes = SMOKE_RECIPES if args.smoke else {"h264_1080p": INPUT_RECIPES["h264_1080p"]}
    name, recipe = next(iter(recipes.items()))
    clip = make_input(name, recipe)
    def save(report):
        markdown = to_markdown(report)
        print(markdown, flush=True)
        if not args.smoke:
            (RESULTS / "remote.json").write_text(json.dumps(report, indent=1) + "\n")
            (RESULTS / "remote.md").write_text(markdown)

    with tempfile.TemporaryDirectory(prefix="vantrel-bench-") as tmp:
        big = big_file(Path(tmp), 1.0 if args.smoke else 26.4)
        measure(clip, big, 1 if args.smoke else args.rounds, save)


if __name__ == "__main__":
    main()
