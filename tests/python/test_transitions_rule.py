"""The transitions method's documentation states the engine's constants, each in its rule's part."""
import re

import pytest

from vantrel import _engine


def transitions_rule_doc() -> str:
    """The documentation of the transitions method's rule."""
    import vantrel.methods.transitions
    return vantrel.methods.transitions.__doc__


def parts(doc: str) -> dict:
    """The doc's text before its first "- " item ("intro") and each item by its first word."""
    pieces = re.split(r"^- ", doc, flags=re.MULTILINE)
    found = {"intro": pieces[0]}
    for piece in pieces[1:]:
        found[piece.split()[0].rstrip(":")] = piece
    return found


def numbers(text: str) -> set:
    return {float(n) for n in re.findall(r"(?<![\w.])\d+(?:\.\d+)?(?![\w.]*\d)", text)}


# Where each constant is stated.
PART = {
    "frames_kept": "intro",
    "flat_variance": "Fades", "dark": "Fades", "bright": "Fades", "fade_context": "Fades",
    "fade_change": "Fades", "fade_jump": "Fades",
    "dissolve_widths": "Dissolves", "dissolve_change": "Dissolves", "dissolve_spread": "Dissolves",
    "same_picture": "Dissolves", "mix_low": "Dissolves", "mix_high": "Dissolves", "mix_residual": "Dissolves",
    "cut_picture": "Cuts", "cut_ratio": "Cuts", "cut_context": "Cuts",
    "flash_span": "Flashes", "flash_ratio": "Flashes",
}


def test_every_constant_has_its_part():
    assert sorted(_engine.TRANSITION_RULE) == sorted(PART)


@pytest.mark.parametrize("name", sorted(PART))
def test_the_documentation_states_the_constant(name):
    value = _engine.TRANSITION_RULE[name]
    stated = numbers(parts(transitions_rule_doc())[PART[name]])
    values = value if isinstance(value, tuple) else (value,)
    missing = [v for v in values if float(v) not in stated]
    assert not missing, f"{name} = {value}: {missing} not stated in the {PART[name]} part of the transitions rule's doc"


@pytest.mark.parametrize("text, expected", [
    ("under 60, mean under 28 or over 225", {60.0, 28.0, 225.0}),
    ("differ by more than 0.3; (w one of 3, 6, 10, 16)", {0.3, 3.0, 6.0, 10.0, 16.0}),
    ("a 32 x 18 picture, 64-bin, k - 2 to k + 2.", {32.0, 18.0, 64.0, 2.0}),
    ("vantrel_rs v1.2 x264", set()),
])
def test_numbers_are_the_standalone_ones(text, expected):
    assert numbers(text) == expected
