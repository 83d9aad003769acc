"""The scene-list methods, one module each behind the interface of vantrel.methods.base: how the
analysis' per-frame results become transitions and scene starts.

Every method starts a scene on frame 0, also of a video that yields no frame (as
vantrel_rs.detect_frames does), and then on each of its transitions' start frames. A method is
added by its module and its entry in FAMILY: the API, the command's options and their help read
it from here.
"""
from __future__ import annotations

from .base import Method, Transition
from .combined import METHOD as _COMBINED
from .learned import METHOD as _LEARNED
from .refined import METHOD as _REFINED
from .transitions import METHOD as _TRANSITIONS

FAMILY = (_TRANSITIONS, _REFINED, _LEARNED, _COMBINED)  # in the order --help lists them, the default first
METHODS = tuple(method.name for method in FAMILY)
DEFAULT = _TRANSITIONS.name
# Why it is the default, as --help says it (bench/accuracy/run.py's pooled F1 on the held-out real footage).
DEFAULT_REASON = ("the most accurate classical method, F1 0.85 on held-out real footage against refined's 0.80 "
                  "and PySceneDetect adaptive's 0.77, at about refined's cost")
# Former names that still select a method, deprecated: the old name by the method's name.
FORMER_NAMES = {"gradual": _TRANSITIONS.name}

__all__ = ["DEFAULT", "FAMILY", "FORMER_NAMES", "METHODS", "Method", "Transition", "lookup"]


def lookup(name: str) -> Method:
    """The method called `name`, or formerly called so; ValueError naming the methods for any other value."""
    if isinstance(name, str):
        name = FORMER_NAMES.get(name, name)
        for method in FAMILY:
            if method.name == name:
                return method
    raise ValueError(f"method must be one of {', '.join(METHODS)}, not {name!r}")
