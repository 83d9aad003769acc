"""Scoring of a scene list against labelled transitions, the way shot-boundary work is scored.

A transition is (kind, first, last): a cut has first == last == the frame its
new scene starts on; a gradual transition (dissolve, fade) spans its mixed
frames, first to last. A detection k means "a new scene starts at frame k".

- A cut is found by a detection within one frame of it: [k - 1, k + 1].
- A gradual transition is found by a detection inside it, one frame of slack
  either side: [first - 1, last + 1].
- One detection finds at most one transition and one transition is found by
  at most one detection (a maximum matching; extra detections inside one
  dissolve are false positives).
- Every detection that finds nothing is a false positive. It counts against
  the gradual kind when it lies inside a gradual transition's window (a second
  detection in one dissolve), otherwise against the cut kind (a cut where there
  is none); it is also listed per hard-negative segment it falls in.
- Doubtful labels (a transition a careful viewer could call either way) are
  scored apart: once the sure transitions are matched, the detections left
  over are matched to the doubtful labels by the same windows; a detection so
  matched is neither a hit nor a false positive, and a doubtful label that no
  detection matches is no miss.
- A clip that is a range [first, last] of a longer file keeps the file's frame
  numbers; only the detections inside the range are scored.
"""
from dataclasses import dataclass, field

KINDS = ("cut", "gradual")


def window(transition):
    kind, first, last = transition
    return first - 1, last + 1


def kind_of(transition):
    return "cut" if transition[0] == "cut" else "gradual"


def match(transitions, detections):
    """A maximum one-to-one matching: {transition index: detection}.

    Windows are intervals and detections points, so taking the windows by their
    end and giving each the earliest free detection inside it is optimal."""
    points = sorted(set(detections))
    used = [False] * len(points)
    order = sorted(range(len(transitions)), key=lambda i: (window(transitions[i])[1], window(transitions[i])[0]))
    found = {}
    for i in order:
        lo, hi = window(transitions[i])
        for j, p in enumerate(points):
            if p > hi:
                break
            if p >= lo and not used[j]:
                used[j] = True
                found[i] = p
                break
    return found


@dataclass
class Counts:
    tp: int = 0
    fn: int = 0
    fp: int = 0

    def add(self, other):
        self.tp += other.tp
        self.fn += other.fn
        self.fp += other.fp

    def precision(self):
        return self.tp / (self.tp + self.fp) if self.tp + self.fp else 1.0

    def recall(self):
        return self.tp / (self.tp + self.fn) if self.tp + self.fn else 1.0

    def f1(self):
        p, r = self.precision(), self.recall()
        return 2 * p * r / (p + r) if p + r else 0.0

    def as_dict(self):
        return {"tp": self.tp, "fn": self.fn, "fp": self.fp, "precision": self.precision(),
                "recall": self.recall(), "f1": self.f1()}


@dataclass
class Score:
    kinds: dict = field(default_factory=lambda: {k: Counts() for k in KINDS})
    negative_fp: dict = field(default_factory=dict)  # hard-negative kind -> false positives on it
    missed: list = field(default_factory=list)       # transitions not found
    false: list = field(default_factory=list)        # detections that found nothing
    doubtful: list = field(default_factory=lambda: [0, 0])  # doubtful labels matched, all

    def pooled(self):
        total = Counts()
        for c in self.kinds.values():
            total.add(c)
        return total

    def add(self, other):
        for k in KINDS:
            self.kinds[k].add(other.kinds[k])
        for k, n in other.negative_fp.items():
            self.negative_fp[k] = self.negative_fp.get(k, 0) + n
        self.doubtful = [a + b for a, b in zip(self.doubtful, other.doubtful)]


def score(transitions, detections, negatives=(), doubtful=(), span=None):
    """Scores `detections` (scene starts; frame 0 is no transition and is ignored)
    against `transitions`; `negatives` are (kind, first, last) spans of hard negatives,
    `doubtful` transitions scored apart, `span` the (first, last) frames scored (default: all)."""
    lo, hi = span if span else (0, float("inf"))
    detections = sorted({d for d in detections if d > 0 and lo <= d <= hi})
    found = match(transitions, detections)
    result = Score()
    for i, t in enumerate(transitions):
        counts = result.kinds[kind_of(t)]
        if i in found:
            counts.tp += 1
        else:
            counts.fn += 1
            result.missed.append(tuple(t))
    matched = set(found.values())
    neutral = match(doubtful, [d for d in detections if d not in matched])
    result.doubtful = [len(neutral), len(doubtful)]
    matched |= set(neutral.values())
    gradual_windows = [window(t) for t in transitions if kind_of(t) == "gradual"]
    for d in detections:
        if d in matched:
            continue
        result.false.append(d)
        in_gradual = any(lo <= d <= hi for lo, hi in gradual_windows)
        result.kinds["gradual" if in_gradual else "cut"].fp += 1
        for kind, first, last in negatives:
            if first <= d <= last:
                result.negative_fp[kind] = result.negative_fp.get(kind, 0) + 1
    return result
