"""The command's options: what it accepts and how `--help` explains it."""
from __future__ import annotations

import argparse
import os
import re
from pathlib import Path

from ..methods import DEFAULT as DEFAULT_METHOD, DEFAULT_REASON, FAMILY, FORMER_NAMES, METHODS
from ..outputs.formats import FORMATS, format_help
from ..settings import DETECTOR_FIELDS, MAX_THREADS, DetectorSettings

LOCAL_RAY = ""  # `--ray` without an address

# The help of each detector setting, by name; the options follow the settings' order.
DETECTOR_HELP = {
    "search_radius": "motion search radius in pixels of the reduced image (0 to 64)",
    "intra_thresh": "how much worse than its own texture a block's best match must be to count as new",
    "intra_thresh2": "threshold of the first-pass rule's score, relaxed with the distance from the last cut",
    "window_size": "frames of score history behind the adaptive threshold",
    "sigma": "standard deviations above the recent mean that the adaptive threshold sits",
    "base_threshold": "lowest adaptive threshold",
    "min_hist_distance": "luma histogram change an adaptive cut needs at least",
    "min_score": "blended score an adaptive cut needs at least",
    "sad_weight": "weight of the pixel difference in the blended score",
    "hist_weight": "weight of the histogram change in the blended score",
}


def option_name(field: str) -> str:
    """The option that sets an analysis setting: `--min-scene-len` for min_scene_len."""
    return f"--{field.replace('_', '-')}"


def scene_length(text: str) -> float:
    """Frames ("48"), seconds ("2.5s") or a timecode ("00:01:30.000"); ints are frames."""
    if re.fullmatch(r"\d+", text):
        return int(text)
    if re.fullmatch(r"\d+(\.\d*)?s", text):
        return float(text[:-1])
    match = re.fullmatch(r"(?:(\d+):)?(\d+):(\d+(?:\.\d*)?)", text)
    if match:
        hours, minutes, seconds = match.groups()
        return int(hours or 0) * 3600 + int(minutes) * 60 + float(seconds)
    raise argparse.ArgumentTypeError(
        f"{text!r} is not a length: give frames (48), seconds (2.5s) or a timecode (00:01:30.000)")


def storage_option(text: str) -> tuple:
    """KEY=VALUE; VALUE as JSON where it is JSON (true, 3, {"region_name": "eu-west-1"}), else as text."""
    import json
    key, sep, value = text.partition("=")
    if not sep or not key:
        raise argparse.ArgumentTypeError(f"{text!r} is not KEY=VALUE, e.g. endpoint_url=http://127.0.0.1:9000")
    try:
        return key, json.loads(value)
    except ValueError:
        return key, value


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version
    try:
        return version("vantrel-rs")
    except PackageNotFoundError:
        return "unknown"


class _Version(argparse.Action):
    def __init__(self, option_strings, dest, **kwargs):
        super().__init__(option_strings, dest, nargs=0, help="print the version and exit")

    def __call__(self, parser, namespace, values, option_string=None):
        print(f"vantrel {_version()}")
        parser.exit()


class _MethodNames(tuple):
    """The methods' names as --help lists them; a former name is taken too (the command warns)."""

    def __contains__(self, name: object) -> bool:
        return name in FORMER_NAMES or super().__contains__(name)


def _method_help(m) -> str:
    default = f" (the default, {DEFAULT_REASON})" if m.name == DEFAULT_METHOD else ""
    return f"{m.name}{default}: {m.help}" + (f"; needs {m.install}" if m.extra else "")


def _method_options(group) -> None:
    """--method, --threshold and --model, as the family of methods describes them."""
    group.add_argument("--method", choices=_MethodNames(METHODS), default=DEFAULT_METHOD,
                       help="how scenes are found: " + "; ".join(_method_help(m) for m in FAMILY))
    group.add_argument("--threshold", metavar="X", type=float,
                       help="keep only transitions at least this strong, 0 to 1: the luma histogram distance "
                            "between the frames before and after each (half the L1 distance of 64-bin "
                            "histograms). Higher never gives more scenes; 0, the default, keeps every one the "
                            "method finds" + "".join(f". With --method {m.name}: {m.threshold_help}, {m.threshold} "
                                                     "by default" for m in FAMILY if m.threshold_help))
    with_models = [m for m in FAMILY if m.models]
    group.add_argument("--model", choices=[name for m in with_models for name in m.models],
                       help="; ".join(f"{m.model_help} for --method {m.name}: "
                                      + " or ".join(f"{name} ({word})" for name, word in m.models.items())
                                      + f"; {m.default_model} by default" for m in with_models))


def build_parser() -> argparse.ArgumentParser:
    """Every default is said in its option's help, once."""
    cpus = os.cpu_count() or 1
    p = argparse.ArgumentParser(
        prog="vantrel",
        description="Find the frames where scenes begin in video files.",
        epilog="One input goes to standard output or -o FILE; several inputs, or folders with "
               "--recursive, need --output-dir. Options may stand anywhere among the inputs. "
               "Exit status: 0 all files done or skipped, 1 a file failed, 2 bad usage, 130 interrupted.")
    p.add_argument("inputs", nargs="+", metavar="VIDEO",
                   help="video files, or folders with --recursive; - reads one video from standard input; "
                        "URLs (s3://bucket/film.mp4, gs://, az://, https://...), also a glob of them "
                        "('s3://bucket/videos/*.mp4') or, with --recursive, a folder (a prefix)")
    p.add_argument("--version", action=_Version)
    out = p.add_argument_group("output")
    out.add_argument("-f", "--format", choices=list(FORMATS), default="frames",
                     help="; ".join(format_help()) + ". xvid shows the per-frame first-pass decisions; every "
                          "other format shows the scene list of --method. The two differ by design: on a fade or "
                          "a burst of changes the pass decisions mark more frames")
    out.add_argument("-o", "--output", metavar="FILE", type=Path,
                     help="write the one input's result to FILE ('-' is standard output, the default)")
    out.add_argument("-d", "--output-dir", metavar="DIR", type=Path,
                     help="write one <name>.<format extension> file per input into DIR")
    out.add_argument("-r", "--recursive", action="store_true",
                     help="analyse the video files in the folders given, and in their subfolders")
    out.add_argument("--overwrite", action="store_true",
                     help="analyse again inputs whose output files already exist; without it they are skipped")
    out.add_argument("--contact-sheet", metavar="FILE.jpg", type=Path,
                     help="also write one image with the first frame of every scene (one input only)")
    out.add_argument("--stats", metavar="FILE.csv", type=Path,
                     help="also write the per-frame scores: one row per compared frame (every frame but the "
                          "first) with its time, score, threshold and the detectors' measures (--method learned or "
                          "combined: and its transition probability); in a batch FILE is "
                          "a folder that gets one <name>.scores.csv per input")
    out.add_argument("--report", metavar="FILE.html", type=Path,
                     help="also write one self-contained page: each scene's first frame with its frames, times "
                          "and length, and the score curve with the threshold and the scene starts (needs the "
                          "ffmpeg tool); in a batch FILE is a folder that gets one <name>.html per input")
    out.add_argument("--split", metavar="DIR", type=Path,
                     help="also cut the input into one video file per scene, DIR/<name>-scene-001.mp4 and on, "
                          "with the ffmpeg tool: re-encoded (H.264 at CRF 18, AAC audio) so that every file holds "
                          "exactly its scene's frames; a batch puts every input's files into DIR")
    out.add_argument("--split-copy", action="store_true",
                     help="with --split, copy the streams instead (fast, no quality loss, .mkv files): a file "
                          "then starts at the nearest codec keyframe at or before its scene's first frame, so "
                          "it may begin with frames of the scene before")
    out.add_argument("--table", metavar="FILE.parquet", type=Path,
                     help="also write one Parquet table of every input's scenes, a row per scene (needs "
                          "pyarrow: the table extra); a resumed batch keeps the rows of the inputs it skips")
    out.add_argument("-q", "--quiet", action="store_true", help="print nothing but errors")
    out.add_argument("-v", "--verbose", action="store_true",
                     help="print every FFmpeg warning of an input, not only its errors")
    run = p.add_argument_group("decoding and running")
    run.add_argument("-j", "--jobs", metavar="N", type=int,
                     help=f"files analysed at once, one worker process each; by default {cpus}, the CPUs, "
                          "or fewer when there are fewer files")
    run.add_argument("--threads", metavar="N", type=int,
                     help=f"decoder threads per analysis, up to {MAX_THREADS}; 0 lets FFmpeg choose. By default "
                          f"a single input uses every CPU; in a batch each of the jobs gets CPUs / jobs, here "
                          f"{cpus} / jobs, at least 1: for many files one thread per file and one file per CPU "
                          "is fastest. With --method learned or combined also the network's threads "
                          "(0: one per CPU)")
    run.add_argument("--on-decode-error", choices=("skip", "stop"), default="skip",
                     help="what to do with a packet the decoder rejects: skip it, report it and go on (the "
                          "default), or stop at the first")
    run.add_argument("--native-res", action="store_true",
                     help="analyse the full decoded resolution instead of a reduced image")
    run.add_argument("--hwdec", metavar="NAME",
                     help="FFmpeg hardware device type to decode with, e.g. cuda; software decoding by default")
    run.add_argument("--ray", metavar="ADDRESS", nargs="?", const=LOCAL_RAY,
                     help="run the batch as Ray tasks on the cluster at ADDRESS, or on a private local "
                          "instance without ADDRESS; a word right after --ray is taken as ADDRESS, so put "
                          "a bare --ray after the inputs. Ray tasks report when they finish, not while "
                          "they decode. The workers read URL inputs themselves")
    remote = p.add_argument_group(
        "URL inputs", "A URL of a protocol fsspec knows (s3://, gs://, az://, https://...) is read through "
                      "fsspec, in order, as it downloads: pip install 'vantrel-rs[remote]' and the package of its "
                      "filesystem (s3fs, gcsfs, adlfs; https:// needs nothing more); FFmpeg opens other URLs "
                      "(rtsp://) itself. "
                      "Credentials and endpoints: --storage-option, or what the filesystem package reads "
                      "itself (for s3fs AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY, AWS_ENDPOINT_URL, "
                      "AWS_PROFILE; for gcsfs GOOGLE_APPLICATION_CREDENTIALS; for adlfs "
                      "AZURE_STORAGE_CONNECTION_STRING), or FSSPEC_<PROTOCOL>_<OPTION> variables "
                      "(FSSPEC_S3_ENDPOINT_URL). --split, --report and --contact-sheet give the ffmpeg tool "
                      "a temporary local copy of the video, removed afterwards (also on Ctrl-C).")
    remote.add_argument("--storage-option", metavar="KEY=VALUE", type=storage_option, action="append",
                        help="an option of the URL inputs' filesystem, e.g. endpoint_url=http://127.0.0.1:9000, "
                             "anon=true or client_kwargs='{\"region_name\": \"eu-west-1\"}'; VALUE is read as "
                             "JSON where it is JSON, else as text; repeat it for several")
    tune = p.add_argument_group("tuning", "Scene lengths are frames (48), seconds (2.5s) or a timecode "
                                          "(00:01:30.000).")
    tune.add_argument("--min-scene-len", metavar="LENGTH", type=scene_length,
                      help="drop a keyframe that would start a scene shorter than LENGTH after the previous one; "
                           "no minimum by default")
    tune.add_argument("--max-scene-len", metavar="LENGTH", type=scene_length,
                      help="split a longer scene at its highest-scoring frames; no maximum by default")
    _method_options(tune)
    stats = p.add_argument_group("first-pass statistics", "The cut detectors' settings. They shape the per-frame "
                                 "decisions of the statistics text (-f xvid); the scene list reads them only in a "
                                 "few tests (on a typical video only --search-radius and --intra-thresh move it): "
                                 "to trade recall for precision use --method and --threshold.")
    defaults = DetectorSettings()
    for name in DETECTOR_FIELDS:
        value = getattr(defaults, name)
        stats.add_argument(option_name(name), metavar="N", type=type(value), default=value,
                           help=f"{DETECTOR_HELP[name]}; {value} by default")
    return p
