"""The scene-list methods, one module each behind the interface of vantrel.methods.base: how the
analysis' per-frame results become transitions and scene starts.

Every method starts a scene on frame 0, also of a video that yields no frame (as
vantrel_rs.detect_frames does), and then on each of its transitions' start frames. A method is
added by its module and its entry in FAMILY: the API, the command's options and their help read
it from here.
"""
from __future__ import annotations

from .base import Method, Transition
from .gradual import METHOD as _GRADUAL
from .learned import METHOD as _LEARNED
from .refined import METHOD as _REFINED

FAMILY = (_REFINED, _GRADUAL, _LEARNED)  # in the order --help lists them
METHODS = tuple(method.name for method in FAMILY)
DEFAULT = _REFINED.name

__all__ = ["DEFAULT", "FAMILY", "METHODS", "Method", "Transition", "lookup"]


def lookup(name: str) -> Method:
    """The method called `name`; ValueError naming the methods for any other value."""
    for method in FAMILY:
        if isinstance(name, str) and method.name == name:
            return method
    raise ValueError(f"method must be one of {', '.join(METHODS)}, not {name!r}")
