"""What a scene-list method is: what it asks the engine to compute in the one decode, what it makes
of the engine's result, its threshold and the options and extra it needs. Each method of the family
(vantrel.methods) is one module with one Method."""
from __future__ import annotations

from collections import namedtuple
TYPE_CHECKING = False  # typing.TYPE_CHECKING without importing typing

if TYPE_CHECKING:  # typing costs more to import than a short analysis
    from array import array
    from typing import Callable, Dict, List, Optional, Tuple

    from ..settings import AnalysisSettings


class Transition(namedtuple("Transition", "kind first_frame last_frame start_frame first_time last_time strength")):
    """One detected transition: kind "cut", "fade" or "dissolve"; its first and last frames
    (inclusive) and their times; the frame its new scene starts on (a cut: its frame; a fade:
    the first frame after the flat frames; a dissolve: its middle frame); its strength, or None
    where the method measured none (refined at threshold 0)."""

    __slots__ = ()


class Method:
    """One scene-list method; a subclass sets the attributes and makes the Run of an analysis.

    name: as `method=` and `--method` take it; help: its entry in `--help`; threshold: its default
    threshold; threshold_help: what its threshold measures where that is not the strength of
    vantrel.methods.transitions (None); models: the graphs it may run, by name, each with a word on it,
    the default first (empty: it takes no `model`); model_help: what a model of it is; extra: the
    pip extra it needs (None: none); needs: the modules of that extra, needs_text: what they are;
    lists_transitions: whether the outputs list its transitions (not where they are only the
    scene starts again).
    """

    name = ""
    help = ""
    threshold = 0.0
    threshold_help: Optional[str] = None
    models: Dict[str, str] = {}
    model_help = ""
    extra: Optional[str] = None
    needs: Tuple[str, ...] = ()
    needs_text = ""
    lists_transitions = True

    def __repr__(self) -> str:
        return f"<method {self.name}>"

    @property
    def default_model(self) -> Optional[str]:
        return next(iter(self.models), None)

    @property
    def install(self) -> str:
        """The command that installs what the method needs."""
        return f"pip install 'vantrel-rs[{self.extra}]'"

    def start(self, settings: AnalysisSettings) -> Run:
        """What the method asks of one analysis of checked `settings`; called before the decode,
        a missing piece raises AnalysisError here."""
        raise NotImplementedError


class Run:
    """A method's share of one analysis, closed when the analysis ends however it ends.

    transition_rule, learned_frames: the engine's keywords (what its transition pass works out:
    None, "cuts" or "gradual", the transitions method's rule; the learned network's frames'
    consumer or None). `results(raw, times)` turns the engine's result of a successful decode
    into the transitions (by start frame) and, for a method that has one, every analysed frame's
    transition probability (else None).
    """

    transition_rule: Optional[str] = None
    learned_frames: Optional[Callable[[bytes], None]] = None

    def results(self, raw: dict, times: array) -> Tuple[List[Transition], Optional[array]]:
        raise NotImplementedError

    def close(self) -> None:
        pass

    def __enter__(self) -> Run:
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()


class Measured(Run):
    """The engine's transition pass by `rule`, which measures every transition's strength: those
    at least `threshold` strong."""

    def __init__(self, rule: str, threshold: float) -> None:
        self.transition_rule = rule
        self._threshold = threshold

    def results(self, raw: dict, times: array) -> Tuple[List[Transition], Optional[array]]:
        return [t for t in measured(raw["transitions"], times) if t.strength >= self._threshold], None


def measured(found, times: array) -> List[Transition]:
    """The Transitions of the engine's transition pass (its `transitions`: kind, first, last, start,
    strength), with their times."""
    return [Transition(kind, first, last, start, times[first], times[last], strength)
            for kind, first, last, start, strength in found]
