"""Scene-list methods: how the analysis' per-frame results become transitions and scene starts.

"refined" is the analysis' own keyframe list: every scene start a cut of one frame.
"gradual" starts from the same list and adds what it misses: cuts that stand far above the
changes around them (the list merges those of a montage), fades through a flat (black or white)
picture and dissolves; it drops a cut whose picture comes back within five frames (a flash,
something crossing the lens). The engine works it out in the same decode, from cheap measures of
each reduced frame (luma level and spread, a 64-bin histogram, a 32 x 18 coarse picture of cell
means) that it keeps only for the last 33 frames, by these rules:

- Fades: a run of flat frames (luma variance under 60, mean under 28 or over 225) is a fade when
  the pictures 12 frames before and after it differ by more than 0.3; its new scene starts on the
  first frame after the run. A flat run both entered and left by a jump of the coarse picture
  over 40 (luma levels, mean over the cells) is a flash of light, not a fade.
- Dissolves: frames t - w and t + w (w one of 3, 6, 10, 16) differ by at least 0.35, the most
  there; no one step between them makes more than 0.6 of that change (else it is a cut or a
  flash); neither end is a flat picture (variance under 60: the fade rule's case); the two ends
  are different pictures (z-scored coarse pictures correlate at most 0.9: not a lighting
  change); frame t is a mix a A + (1 - a) B of the ends, a from 0.2 to 0.8, leaving at most 0.3
  of |A - B|. The strongest are taken first (ties: earliest, narrowest), each farther from those
  taken than the wider one's w; its new scene starts on its middle frame t.
- Cuts the analysis' list misses (montages, small pictures): frame k whose coarse picture differs
  from frame k - 1's by at least 12 (luma levels, mean over the cells) and by 3 times as much as
  any other step of the frames k - 2 to k + 2, where no cut of the list is at k - 1, k or k + 1.
- Flashes: a cut at k is dropped when frames a < k <= b at most 5 apart (other than k - 1 and
  k) differ by less than 0.4 of the coarse picture's jump at k.
- Overlaps: the fades, then the dissolves by middle frame, are kept where at least one frame lies
  between them and each one kept before (so a fade wins over a dissolve it touches); a fade takes
  the cuts next to its flat frames or among them (into and out of the flat picture); a dissolve
  takes the cuts after its first frame up to its last (they are its own steps); a fade or
  dissolve that a remaining cut is on or next to is dropped.

Every transition has a strength: the distance (half the L1 distance, 0 to 1) between the
64-bin luma histograms of the frames just before and just after it (a dissolve's: of its first
and last frames). The threshold keeps the transitions at least that strong; 0 (the default)
keeps every one the method finds, so raising it can only remove scenes. It acts before the
scene-length limits.
"""
from __future__ import annotations

from collections import namedtuple

METHODS = ("refined", "gradual", "learned")
METHOD_HELP = {
    "refined": "the analysis' keyframes: hard cuts only (the default; the list of vantrel_rs.detect_frames)",
    "gradual": "refined cuts less flashes, plus the clear cuts it merges or misses (montages, small "
               "pictures), fades through black or white and dissolves (measures every reduced frame: about "
               "a hundredth more time)",
    "learned": "the TransNetV2 shot-transition network (vantrel.learned_scenes): cuts and gradual transitions, "
               "--threshold is its transition probability; needs pip install 'vantrel-rs[learned]'",
}
# The learned method: its graphs ("int8": quantised, the default; "fp32": the reference's
# arithmetic) and its default threshold: fp32's best pooled F1 on the accuracy set, where the
# int8 graph scores the same, in a plateau from 0.2 to 0.45 (bench/results/learned_threshold.md).
LEARNED_MODELS = ("int8", "fp32")
LEARNED_MODEL = "int8"
LEARNED_THRESHOLD = 0.35


class Transition(namedtuple("Transition", "kind first_frame last_frame start_frame first_time last_time strength")):
    """One detected transition: kind "cut", "fade" or "dissolve"; its first and last frames
    (inclusive) and their times; the frame its new scene starts on (a cut: its frame; a fade:
    the first frame after the flat frames; a dissolve: its middle frame); its strength, or None
    where the method measured none (refined at threshold 0)."""

    __slots__ = ()


def transitions(keyframes: list, found, times, threshold: float) -> list:
    """The Transitions at least `threshold` strong, by start frame: the engine's `found`
    (kind, first, last, start, strength) tuples, or with None (refined at threshold 0) the
    analysis' `keyframes` as cuts of no strength; `times`: the frames' times."""
    if found is None:
        return [Transition("cut", k, k, k, times[k], times[k], None) for k in keyframes if k > 0]
    return [Transition(kind, first, last, start, times[first], times[last], strength)
            for kind, first, last, start, strength in found if strength >= threshold]
