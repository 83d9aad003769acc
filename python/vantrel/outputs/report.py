"""The `--report` page: every scene's first frame with its frames and times, and the score curve
over the whole video with the threshold and the scene starts, in one file that needs nothing else."""
from __future__ import annotations

import base64
import html
import math
import os
from typing import List, Optional, Sequence, Tuple

from ..analysis import Analysis
from ..time_text import seconds_text, timecode
from .contact_sheet import THUMB_WIDTH, scene_thumbnails

# The chart's drawing area in pixels, and its margins for the axis labels.
WIDTH, HEIGHT = 960, 240
LEFT, RIGHT, TOP, BOTTOM = 56, 12, 12, 28
SCORE, THRESHOLD, KEYFRAME = "#1f6fd0", "#f08c00", "#d0021b"
TIME_STEPS = (0.1, 0.2, 0.5, 1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200)

STYLE = f"""
body {{ font: 14px/1.4 sans-serif; color: #222; background: #fff; margin: 24px; }}
h1 {{ font-size: 20px; margin: 0 0 4px; word-break: break-all; }}
.facts {{ color: #555; margin: 0 0 16px; }}
svg {{ display: block; margin-bottom: 8px; }}
svg text {{ font: 11px sans-serif; fill: #555; }}
.legend span {{ margin-right: 16px; }}
.legend i {{ display: inline-block; width: 16px; height: 3px; vertical-align: middle; margin-right: 4px; }}
.scenes {{ display: flex; flex-wrap: wrap; gap: 12px; margin-top: 16px; }}
.scene {{ width: {THUMB_WIDTH}px; font-size: 12px; color: #444; }}
.scene img {{ display: block; width: {THUMB_WIDTH}px; background: #eee; }}
.scene b {{ color: #222; }}
"""


def _time_label(seconds: float) -> str:
    whole = int(round(seconds))
    if abs(seconds - whole) > 1e-9:
        return f"{seconds:.1f}s"
    return f"{whole // 60}:{whole % 60:02d}" if whole >= 60 else f"{whole}s"


def _peaks(times: Sequence[float], values: Sequence[float], x_of) -> List[Tuple[float, float]]:
    """The points of a curve, at most two per pixel column: each column's first and highest value.

    NaN values are left out.
    """
    points: List[Tuple[float, float]] = []
    column: Optional[int] = None
    first = high = (0.0, 0.0)
    for t, v in zip(times, values):
        if math.isnan(v):
            continue
        x = x_of(t)
        if column is not None and int(x) == column:
            if v > high[1]:
                high = (x, v)
            continue
        if column is not None:
            points += [first] if high == first else [first, high]
        column, first, high = int(x), (x, v), (x, v)
    if column is not None:
        points += [first] if high == first else [first, high]
    return points


def _curves(a: Analysis) -> list:
    """The chart's curves and their legend: the network's probability (learned, combined), or the detectors'
    score and threshold."""
    scores = a.scores
    assert scores is not None, "--report analyses with scores"
    if scores.probability is not None:
        return [(scores.probability, SCORE, "", "transition probability")]
    return [(scores.threshold, THRESHOLD, ' stroke-dasharray="5 3"', "threshold"), (scores.score, SCORE, "", "score")]


def score_chart(a: Analysis) -> str:
    """Inline SVG: the score and the threshold of every compared frame (the network's methods: its
    transition probability), a red line at each scene start."""
    width, height = LEFT + WIDTH + RIGHT, TOP + HEIGHT + BOTTOM
    parts = [f'<svg width="{width}" height="{height}" '
             f'viewBox="0 0 {width} {height}" role="img" aria-label="score curve">',
             f'<rect x="{LEFT}" y="{TOP}" width="{WIDTH}" height="{HEIGHT}" fill="#fafafa" stroke="#ccc"/>']
    scores = a.scores
    assert scores is not None, "--report analyses with scores"
    if a.frame_count == 0:
        return "".join(parts) + "</svg>"
    start = a.times[0]
    end = max(a.scenes[-1].end_time, start + 1e-3)
    curves = _curves(a)
    finite = [v for values, *_ in curves for v in values if math.isfinite(v)]
    top = max(finite, default=1.0) * 1.05 or 1.0

    def x_of(t: float) -> float:
        return LEFT + (t - start) / (end - start) * WIDTH

    def y_of(v: float) -> float:
        return TOP + HEIGHT - min(max(v, 0.0), top) / top * HEIGHT

    step = next((s for s in TIME_STEPS if (end - start) / s <= 10), TIME_STEPS[-1])
    tick = math.ceil(start / step) * step
    while tick <= end + 1e-9:
        x = x_of(tick)
        parts.append(f'<line x1="{x:.1f}" y1="{TOP + HEIGHT}" x2="{x:.1f}" y2="{TOP + HEIGHT + 4}" stroke="#999"/>'
                     f'<text x="{x:.1f}" y="{TOP + HEIGHT + 17}" text-anchor="middle">{_time_label(tick)}</text>')
        tick += step
    for value in (0.0, top / 2, top):
        y = y_of(value)
        parts.append(f'<text x="{LEFT - 6}" y="{y + 4:.1f}" text-anchor="end">{value:.4g}</text>')
    for t in a.transitions:  # a gradual transition: a band over its frames
        if t.last_frame > t.first_frame:
            x0, x1 = x_of(t.first_time), x_of(t.last_time)
            parts.append(f'<rect x="{x0:.1f}" y="{TOP}" width="{max(x1 - x0, 1.0):.1f}" height="{HEIGHT}" '
                         f'fill="{KEYFRAME}" fill-opacity="0.18"><title>{t.kind}: frames {t.first_frame}'
                         f'&ndash;{t.last_frame}, {timecode(t.first_time)}&ndash;{timecode(t.last_time)}'
                         f'</title></rect>')
    for k in a.keyframes[1:]:
        x = x_of(a.times[k])
        parts.append(f'<line x1="{x:.1f}" y1="{TOP}" x2="{x:.1f}" y2="{TOP + HEIGHT}" stroke="{KEYFRAME}" '
                     f'stroke-width="1.5"><title>scene start: frame {k}, {timecode(a.times[k])}</title></line>')
    for values, colour, dash, _ in curves:
        points = " ".join(f"{x:.1f},{y_of(v):.1f}" for x, v in _peaks(scores.time, values, x_of))
        parts.append(f'<polyline points="{points}" fill="none" stroke="{colour}" stroke-width="1.5"{dash}/>')
    return "".join(parts) + "</svg>"


def render_report(a: Analysis, input: str, thumbnails: List[bytes]) -> str:
    name = html.escape(os.path.basename(input))
    facts = [f"{a.frame_count} frames", f"{float(a.fps):.6g} frames/s" if a.fps else "frame rate unknown",
             f"{len(a.scenes)} scenes"]
    if a.scenes:
        facts.insert(1, f"{timecode(a.scenes[-1].end_time)} long")
    cards = []
    for number, (s, jpeg) in enumerate(zip(a.scenes, thumbnails), 1):
        frames = s.end_frame - s.start_frame + 1
        cards.append(
            f'<div class="scene"><img alt="first frame of scene {number}" '
            f'src="data:image/jpeg;base64,{base64.b64encode(jpeg).decode("ascii")}">'
            f"<b>Scene {number}</b><br>frames {s.start_frame}&ndash;{s.end_frame} ({frames} frames)<br>"
            f"{timecode(s.start_time)}&ndash;{timecode(s.end_time)} ({seconds_text(s.end_time - s.start_time)} s)"
            "</div>")
    legend = "".join(f'<span><i style="background:{colour}"></i>{text}</span>' for colour, text in (
        # The curve drawn last (on top) first.
        *((colour, text) for _, colour, _, text in reversed(_curves(a))), (KEYFRAME, "scene start")))
    if any(t.last_frame > t.first_frame for t in a.transitions):
        legend += f'<span><i style="background:{KEYFRAME};opacity:0.3"></i>gradual transition</span>'
    return (f'<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8"><title>Scenes of {name}</title>'
            f"<style>{STYLE}</style></head><body>\n<h1>{html.escape(input)}</h1>\n"
            f'<p class="facts">{", ".join(facts)}</p>\n{score_chart(a)}\n<div class="legend">{legend}</div>\n'
            f'<div class="scenes">\n' + "\n".join(cards) + "\n</div>\n</body></html>\n")


def report_page(a: Analysis, input: str, video: str) -> str:
    """The page of `input`, with the first frames taken by the ffmpeg tool from `video`, its file here."""
    return render_report(a, input, scene_thumbnails(video, [s.start_frame for s in a.scenes]))
