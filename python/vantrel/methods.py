"""Scene-list methods: how the analysis' per-frame results become transitions and scene starts.

"refined" is the analysis' own keyframe list: every scene start a cut of one frame.
"gradual" starts from the same list and adds what it misses: cuts that stand far above the
changes around them (the list merges those of a montage), fades through a flat (black or white)
picture and dissolves, found from cheap measures of every reduced frame (the engine's
`keep_measures`: luma level and spread, a 64-bin histogram, a 32 x 18 coarse picture); it drops
a cut whose picture comes back within five frames (a flash, something crossing the lens).

Every transition has a strength: the distance (half the L1 distance, 0 to 1) between the
64-bin luma histograms of the frames just before and just after it. The threshold keeps the
transitions at least that strong; 0 (the default) keeps every one the method finds, so raising
it can only remove scenes. It acts before the scene-length limits.
"""
from __future__ import annotations

from collections import namedtuple
from operator import sub, truediv

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
# arithmetic) and its default threshold: the best pooled F1 of both graphs on the accuracy set,
# in the middle of a plateau from 0.3 to 0.45 (bench/results/learned_threshold.md).
LEARNED_MODELS = ("int8", "fp32")
LEARNED_MODEL = "int8"
LEARNED_THRESHOLD = 0.35

BINS = 64
COLUMNS, ROWS = 32, 18

# Fades: a run of flat frames (luma variance under FLAT_VARIANCE, mean under DARK or over
# BRIGHT) is a fade when the pictures FADE_CONTEXT frames before and after it differ by more
# than FADE_CHANGE; its new scene starts on the first frame after the run.
FLAT_VARIANCE = 60.0
DARK, BRIGHT = 28.0, 225.0
FADE_CONTEXT = 12
FADE_CHANGE = 0.3
# A flat run both entered and left by a jump of the coarse picture over FADE_JUMP (luma levels)
# is a flash of light, not a fade.
FADE_JUMP = 40.0
# Dissolves: frames t - w and t + w (w one of DISSOLVE_WIDTHS) differ by at least
# DISSOLVE_CHANGE, the most there; no one step between them makes more than DISSOLVE_SPREAD of
# that change (else it is a cut or a flash); the two ends are different pictures (z-scored
# coarse pictures correlate at most SAME_PICTURE: not a lighting change); frame t is a mix
# a A + (1 - a) B of the ends, a in MIX_ALPHA, leaving at most MIX_RESIDUAL of |A - B|.
DISSOLVE_WIDTHS = (3, 6, 10, 16)
DISSOLVE_CHANGE = 0.35
DISSOLVE_SPREAD = 0.6
SAME_PICTURE = 0.9
MIX_ALPHA = (0.2, 0.8)
MIX_RESIDUAL = 0.3
# Cuts the analysis' list misses (montages, small pictures): frame k whose coarse picture differs
# from frame k - 1's by at least CUT_PICTURE (luma levels, mean over the cells) and by CUT_RATIO
# times as much as any other step of the frames k - CUT_CONTEXT to k + CUT_CONTEXT.
CUT_PICTURE = 12.0
CUT_RATIO = 3.0
CUT_CONTEXT = 2
# Flashes: a cut at k is dropped when frames a < k <= b at most FLASH_SPAN apart (other than
# k - 1 and k) differ by less than FLASH_RATIO of the jump at k.
FLASH_SPAN = 5
FLASH_RATIO = 0.4


class Transition(namedtuple("Transition", "kind first_frame last_frame start_frame first_time last_time strength")):
    """One detected transition: kind "cut", "fade" or "dissolve"; its first and last frames
    (inclusive) and their times; the frame its new scene starts on (a cut: its frame; a fade:
    the first frame after the flat frames; a dissolve: its middle frame); its strength, or None
    where the method measured none (refined at threshold 0)."""

    __slots__ = ()


class Measures:
    """The engine's per-frame measures: levels, histograms and coarse pictures. The raw counts
    stay packed (about 2.6 KB a frame); pictures are worked out when asked for."""

    def __init__(self, raw: dict):
        from array import array
        columns = {}
        for name, code in (("width", "I"), ("height", "I"), ("sum", "Q"), ("sum_sq", "Q"), ("hist", "I"),
                           ("cells", "I")):
            columns[name] = array(code)
            columns[name].frombytes(raw[name])
        self.count = n = len(columns["width"])
        self._cells = columns["cells"]
        self._pixels = [w * h for w, h in zip(columns["width"], columns["height"])]
        self.hist = [columns["hist"][i * BINS:(i + 1) * BINS] for i in range(n)]
        counts_of: dict = {}
        self._counts = []
        for dims in zip(columns["width"], columns["height"]):
            if dims not in counts_of:
                counts_of[dims] = _cell_counts(*dims)
            self._counts.append(counts_of[dims])
        self.mean, self.variance = [], []
        for total, squares, pixels in zip(columns["sum"], columns["sum_sq"], self._pixels):
            mean = total / pixels if pixels else 0.0
            self.mean.append(mean)
            self.variance.append(squares / pixels - mean * mean if pixels else 0.0)

    def distance(self, a: int, b: int) -> float:
        """Half the L1 distance between the histograms (as fractions) of frames a and b: 0 to 1,
        from an integer sum."""
        pa, pb = self._pixels[a], self._pixels[b]
        if pa == 0 or pb == 0:
            return 0.0 if pa == pb else 1.0
        if pa == pb:
            return sum(map(abs, map(sub, self.hist[a], self.hist[b]))) / (2 * pa)
        return sum(abs(x * pb - y * pa) for x, y in zip(self.hist[a], self.hist[b])) / (2 * pa * pb)

    def picture(self, i: int) -> list:
        """The coarse picture of frame i: the mean luma of each of its 32 x 18 cells, row by row."""
        return list(map(truediv, self._cell_sums(i), self._counts[i]))

    def _cell_sums(self, i: int):
        return self._cells[i * COLUMNS * ROWS:(i + 1) * COLUMNS * ROWS]

    def picture_difference(self, a: int, b: int) -> float:
        """The mean absolute difference of the coarse pictures of frames a and b."""
        if self._counts[a] is self._counts[b]:  # the same cells: one division per cell
            diff = map(truediv, map(abs, map(sub, self._cell_sums(a), self._cell_sums(b))), self._counts[a])
        else:
            diff = map(abs, map(sub, self.picture(a), self.picture(b)))
        return sum(diff) / (COLUMNS * ROWS)

    def jumps(self) -> list:
        """picture_difference(i - 1, i) of every frame i (0 for the first)."""
        return [0.0] + [self.picture_difference(i - 1, i) for i in range(1, self.count)]

    def is_flat(self, i: int) -> bool:
        return self.variance[i] < FLAT_VARIANCE and (self.mean[i] < DARK or self.mean[i] > BRIGHT)


def _cell_counts(width: int, height: int) -> list:
    """Samples per cell of the coarse picture, by the engine's rule (x * 32 // width, y * 18 // height);
    an empty cell (a plane narrower than the grid) counts 1, its sum being 0."""
    columns = [0] * COLUMNS
    for x in range(width):
        columns[x * COLUMNS // width] += 1
    rows = [0] * ROWS
    for y in range(height):
        rows[y * ROWS // height] += 1
    return [max(r * c, 1) for r in rows for c in columns]


def fades(m: Measures, jumps: list) -> list:
    found = []
    k, n = 0, m.count
    while k < n:
        if not m.is_flat(k):
            k += 1
            continue
        first = k
        while k + 1 < n and m.is_flat(k + 1):
            k += 1
        last = k
        if first > 0 and last + 1 < n and not (jumps[first] > FADE_JUMP and jumps[last + 1] > FADE_JUMP):
            change = m.distance(max(0, first - FADE_CONTEXT), min(n - 1, last + FADE_CONTEXT))
            if change > FADE_CHANGE:
                found.append(("fade", first, last, last + 1, m.distance(first - 1, last + 1)))
        k += 1
    return found


def _zscored(values: list) -> list:
    mean = sum(values) / len(values)
    spread = (sum((v - mean) * (v - mean) for v in values) / len(values)) ** 0.5 + 1e-6
    return [(v - mean) / spread for v in values]


def _mix(m: Measures, a: int, t: int, b: int):
    """The weight alpha of frame a in frame t taken as alpha A + (1 - alpha) B, and the residual
    relative to |A - B|; None when A and B are the same picture."""
    A, B, F = m.picture(a), m.picture(b), m.picture(t)
    diff = list(map(sub, A, B))
    den = sum(d * d for d in diff)
    if den < 1e-6:
        return None
    alpha = min(1.0, max(0.0, sum(f * d for f, d in zip(map(sub, F, B), diff)) / den))
    residual = sum((f - (alpha * x + (1 - alpha) * y)) ** 2 for f, x, y in zip(F, A, B))
    return alpha, (residual / den) ** 0.5


def dissolves(m: Measures, steps: list) -> list:
    n = m.count
    candidates = []
    for w in DISSOLVE_WIDTHS:
        change = [m.distance(t - w, t + w) for t in range(w, n - w)]
        for i, d in enumerate(change):
            if d < DISSOLVE_CHANGE or d < max(change[max(0, i - w):i + w + 1]):
                continue
            t = i + w
            if max(steps[t - w + 1:t + w + 1]) > DISSOLVE_SPREAD * d:
                continue  # the change is one step: a cut or a flash, not a mix
            if m.variance[t - w] < FLAT_VARIANCE or m.variance[t + w] < FLAT_VARIANCE:
                continue  # into or out of a flat picture: the fade rule's case
            A, B = _zscored(m.picture(t - w)), _zscored(m.picture(t + w))
            if sum(x * y for x, y in zip(A, B)) / len(A) > SAME_PICTURE:
                continue  # the same picture lighter or darker: not a new scene
            mix = _mix(m, t - w, t, t + w)
            if mix is None or mix[1] > MIX_RESIDUAL or not MIX_ALPHA[0] <= mix[0] <= MIX_ALPHA[1]:
                continue
            candidates.append((d, t, w))
    candidates.sort(key=lambda c: (-c[0], c[1], c[2]))  # strongest first; ties: earliest, narrowest
    taken: list = []
    for d, t, w in candidates:
        if all(abs(t - t2) > max(w, w2) for _, t2, w2 in taken):
            taken.append((d, t, w))
    return [("dissolve", t - w, t + w, t, d) for d, t, w in sorted(taken, key=lambda c: c[1])]


def _is_flash(m: Measures, k: int) -> bool:
    jump = m.picture_difference(k - 1, k)
    return any(m.picture_difference(a, b) < FLASH_RATIO * jump
               for a in range(max(0, k - FLASH_SPAN), k) for b in range(k, min(m.count, a + FLASH_SPAN + 1))
               if (a, b) != (k - 1, k))


def clear_cuts(m: Measures, jumps: list) -> list:
    """Frames whose picture change stands far above the changes around it."""
    found = []
    for k in range(1, m.count):
        if jumps[k] < CUT_PICTURE:
            continue
        around = jumps[max(1, k - CUT_CONTEXT):k] + jumps[k + 1:k + 1 + CUT_CONTEXT]
        if not around or jumps[k] >= CUT_RATIO * max(around):
            found.append(k)
    return found


def transitions(method: str, keyframes: list, measures, times, threshold: float) -> list:
    """The Transitions of `method` at least `threshold` strong, by start frame, from the analysis'
    `keyframes`, the frames' `times` and their Measures (None only for "refined" at threshold 0)."""
    cuts = [k for k in keyframes if k > 0]
    if method == "refined":
        if measures is None:
            return [Transition("cut", k, k, k, times[k], times[k], None) for k in cuts]
        found = [("cut", k, k, k, measures.distance(k - 1, k)) for k in cuts]
    else:
        m = measures
        steps = [0.0] + [m.distance(i - 1, i) for i in range(1, m.count)]
        jumps = m.jumps()
        listed = set(cuts)
        cuts = sorted(listed | {k for k in clear_cuts(m, jumps) if not {k - 1, k, k + 1} & listed})
        cuts = [k for k in cuts if not _is_flash(m, k)]
        gradual: list = []
        for g in fades(m, jumps) + dissolves(m, steps):  # fades first: they win an overlap
            if all(g[2] < o[1] - 1 or g[1] > o[2] + 1 for o in gradual):
                gradual.append(g)
        # A fade takes the cuts next to its flat frames or among them (into and out of the flat
        # picture); a dissolve has no step as big as a cut's: the cuts inside it are its own steps.
        cuts = [k for k in cuts if not any(g[1] - 1 <= k <= g[2] + 1 if g[0] == "fade" else g[1] < k <= g[2]
                                           for g in gradual)]
        gradual = [g for g in gradual if not any(g[1] - 1 <= k <= g[2] + 1 for k in cuts)]
        found = [("cut", k, k, k, steps[k]) for k in cuts] + gradual
    found.sort(key=lambda t: t[3])
    return [Transition(kind, first, last, start, times[first], times[last], strength)
            for kind, first, last, start, strength in found if strength >= threshold]
