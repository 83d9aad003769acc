"""The transitions method (called gradual before; that name still selects it, deprecated): every
transition, the refined method's keyframe list (vantrel.methods.refined) with what it misses
added: cuts that stand far above the changes around them (the list merges those of a montage),
fades through a flat (black or white) picture and dissolves; it drops a cut whose picture comes
back within five frames (a flash, something crossing the lens). The engine works it out in the
same decode, by the transition rule it calls "gradual", from cheap measures of each reduced frame
(luma level and spread, a 64-bin histogram, a 32 x 18 coarse picture of cell means) that it
keeps only for the last 33 frames, by these rules:

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

from .base import Measured, Method, Run
TYPE_CHECKING = False  # typing.TYPE_CHECKING without importing typing

if TYPE_CHECKING:
    from ..settings import AnalysisSettings


class Transitions(Method):
    name = "transitions"
    help = ("refined cuts less flashes, plus the clear cuts it merges or misses (montages, small pictures), "
            "fades through black or white and dissolves (measures every reduced frame: about a hundredth more "
            "time)")

    def start(self, settings: AnalysisSettings) -> Run:
        return Measured("gradual", settings.threshold)  # the engine's name of this method's rule


METHOD = Transitions()
