"""The scene list of one input's analysis in each format of `-f`."""
from __future__ import annotations

import json
import os
from pathlib import Path
from typing import TYPE_CHECKING, Callable, Dict, List, NamedTuple

from ..analysis import Analysis
from ..rows import frame_rate, scene_records, shows_transitions, transition_record
from ..time_text import frame_timecode, seconds_text, timecode

if TYPE_CHECKING:
    from fractions import Fraction


class FormatError(Exception):
    """An input whose analysis a format cannot express, e.g. one without a frame rate."""


def render_frames(a: Analysis, input: str) -> str:
    return "".join(f"{k}\n" for k in a.keyframes)


def render_keyframes(a: Analysis, input: str) -> str:
    return "# keyframe format v1\nfps 0\n" + render_frames(a, input)


def render_qpfile(a: Analysis, input: str) -> str:
    return "".join(f"{k} I\n" for k in a.keyframes)


def render_xvid(a: Analysis, input: str) -> str:
    return a.pass_text


def render_csv(a: Analysis, input: str) -> str:
    rows = ["start_frame,end_frame,start_time,end_time"]
    rows += [f"{s.start_frame},{s.end_frame},{seconds_text(s.start_time)},{seconds_text(s.end_time)}"
             for s in a.scenes]
    return "\n".join(rows) + "\n"


def render_jsonl(a: Analysis, input: str) -> str:
    return "".join(json.dumps(record) + "\n" for record in scene_records(a, input))


def render_av1an(a: Analysis, input: str) -> str:
    # Ends are exclusive; the split list is the same as the scene list (no extra splits).
    scenes = [{"start_frame": s.start_frame, "end_frame": s.end_frame + 1, "zone_overrides": None}
              for s in a.scenes]
    return json.dumps({"frames": a.frame_count, "scenes": scenes, "split_scenes": scenes}, indent=2) + "\n"


def render_scenedetect_csv(a: Analysis, input: str) -> str:
    """The scene list that PySceneDetect writes and its `load-scenes` reads: frames 1-based, ends inclusive,
    times counted from the first frame as PySceneDetect counts them."""
    origin = a.times[0] if a.frame_count else 0.0
    rows = [",".join(["Timecode List:", *(timecode(s.start_time - origin) for s in a.scenes[1:])]),
            "Scene Number,Start Frame,Start Timecode,Start Time (seconds),End Frame,End Timecode,"
            "End Time (seconds),Length (frames),Length (timecode),Length (seconds)"]
    for number, s in enumerate(a.scenes, 1):
        start, end = s.start_time - origin, s.end_time - origin
        rows.append(f"{number},{s.start_frame + 1},{timecode(start)},{seconds_text(start)},"
                    f"{s.end_frame + 1},{timecode(end)},{seconds_text(end)},"
                    f"{s.end_frame - s.start_frame + 1},{timecode(end - start)},{seconds_text(end - start)}")
    return "\n".join(rows) + "\n"


def _rate(a: Analysis, name: str) -> Fraction:
    if a.fps is None:
        raise FormatError(f"the video stream has no frame rate, which -f {name} needs")
    return a.fps


def render_edl(a: Analysis, input: str) -> str:
    """A CMX3600 list, one cut event per scene, record times equal to source times.

    Timecodes count whole frames at the rate rounded to an integer (30 for 30000/1001), without
    dropped frame numbers, as FCM says.
    """
    base = max(1, round(_rate(a, "edl")))
    name = os.path.basename(input)
    lines = [f"TITLE: {os.path.splitext(name)[0]}", "FCM: NON-DROP FRAME", ""]
    for number, s in enumerate(a.scenes, 1):
        start, end = frame_timecode(s.start_frame, base), frame_timecode(s.end_frame + 1, base)
        lines += [f"{number:03d}  AX       V     C        {start} {end} {start} {end}",
                  f"* FROM CLIP NAME: {name}", f"* FROM CLIP: {input}", ""]
    return "\n".join(lines)


def render_otio(a: Analysis, input: str) -> str:
    """An OpenTimelineIO timeline: one clip per scene on one video track, the input as media."""
    rate = float(_rate(a, "otio"))
    import opentimelineio as otio  # present: the command checks before any analysis

    at = otio.opentime.RationalTime
    media = otio.schema.ExternalReference(
        target_url=Path(os.path.abspath(input)).as_uri(),
        available_range=otio.opentime.TimeRange(at(0, rate), at(a.frame_count, rate)))
    track = otio.schema.Track(name="Scenes", kind=otio.schema.TrackKind.Video)
    for number, s in enumerate(a.scenes, 1):
        track.append(otio.schema.Clip(
            name=f"Scene {number}", media_reference=media.clone(),
            source_range=otio.opentime.TimeRange(at(s.start_frame, rate), at(s.end_frame - s.start_frame + 1, rate))))
    timeline = otio.schema.Timeline(name=Path(input).stem, tracks=[track])
    return otio.adapters.write_to_string(timeline, "otio_json") + "\n"


def render_chapters(a: Analysis, input: str) -> str:
    """FFmpeg's metadata file, one chapter per scene, in milliseconds."""
    lines = [";FFMETADATA1"]
    for number, s in enumerate(a.scenes, 1):
        lines += ["[CHAPTER]", "TIMEBASE=1/1000", f"START={round(s.start_time * 1000)}",
                  f"END={round(s.end_time * 1000)}", f"title=Scene {number}"]
    return "\n".join(lines) + "\n"


def render_simple_chapters(a: Analysis, input: str) -> str:
    return "".join(f"CHAPTER{n:02d}={timecode(s.start_time)}\nCHAPTER{n:02d}NAME=Scene {n}\n"
                   for n, s in enumerate(a.scenes, 1))


def render_json(a: Analysis, input: str) -> str:
    doc = {
        "input": input,
        "frame_count": a.frame_count,
        **frame_rate(a),
        "keyframes": a.keyframes,
        "scenes": [{"start_frame": s.start_frame, "end_frame": s.end_frame,
                    "start_time": round(s.start_time, 6), "end_time": round(s.end_time, 6)} for s in a.scenes],
    }
    if shows_transitions(a):
        doc["method"] = a.method
        doc["transitions"] = [{**transition_record(t), "start_frame": t.start_frame} for t in a.transitions]
    return json.dumps(doc, indent=2) + "\n"


class Format(NamedTuple):
    name: str
    extension: str  # of a batch's output files
    render: Callable[[Analysis, str], str]
    help: str


FORMATS: Dict[str, Format] = {f.name: f for f in [
    Format("frames", "txt", render_frames, "one scene-start frame index per line (default)"),
    Format("json", "json", render_json, "frame count, exact frame rate, keyframes and scenes with times; "
                                     "with a method other than refined, the method and its transitions"),
    Format("csv", "csv", render_csv, "one row per scene: start and end frame, start and end time"),
    Format("keyframes", "keyframes.txt", render_keyframes, "the keyframe list subtitle editors read"),
    Format("xvid", "stats", render_xvid, "the first-pass statistics text: one i/p decision per frame"),
    Format("qpfile", "qpfile", render_qpfile, "one 'N I' line per scene start, for encoders"),
    Format("jsonl", "jsonl", render_jsonl, "one JSON object per scene; a batch's files concatenate into one table; "
                                       "with a method other than refined, the transition each scene begins with"),
    Format("av1an", "av1an.json", render_av1an, "the scenes file Av1an reads with --scenes (end frames exclusive)"),
    Format("scenedetect-csv", "scenes.csv", render_scenedetect_csv,
           "the scene list PySceneDetect writes and its load-scenes reads (frames 1-based)"),
    Format("edl", "edl", render_edl, "a CMX3600 edit list, one event per scene; non-drop-frame timecodes "
                                     "at the frame rate rounded to whole frames a second"),
    Format("otio", "otio", render_otio, "an OpenTimelineIO timeline, one clip per scene (needs the otio extra)"),
    Format("chapters", "ffmetadata", render_chapters, "FFmpeg's metadata file, one chapter per scene, for "
                                                      "-map_chapters"),
    Format("simple-chapters", "chapters.txt", render_simple_chapters,
           "the CHAPTER01=/CHAPTER01NAME= text mkvmerge --chapters reads"),
]}


def format_help() -> List[str]:
    return [f"{f.name}: {f.help}" for f in FORMATS.values()]
