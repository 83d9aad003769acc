"""The documents name files that exist: every relative link of README.md and docs/*.md, every
repository path they quote and every module of ours they run with `python -m` resolves to a file
or folder of the checkout."""
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
DOCUMENTS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
# Quoted paths under the repository's own top-level folders (a pattern with * names at least one
# file); bench/inputs/ and bench/out/ are what the benchmarks generate, not files of the checkout.
QUOTED = re.compile(r"(?<![\w./-])((?:bench|docs|fuzz|python|scripts|src|tests|tools)/[\w./*-]*[\w/*])")
GENERATED = ("bench/inputs", "bench/out")
MODULE_RUN = re.compile(r"python3? -m ((?:bench|scripts)(?:\.\w+)+)")


def links(text):
    for target in re.findall(r"\]\(([^)\s]+)\)", text):
        if not re.match(r"[a-z]+:|#", target):
            yield target.split("#")[0]


@pytest.mark.parametrize("document", DOCUMENTS, ids=lambda p: p.relative_to(ROOT).as_posix())
def test_documents_name_what_exists(document):
    text = document.read_text(encoding="utf-8")
    missing = [f"link {t}" for t in links(text) if not (document.parent / t).exists()]
    missing += [f"path {p}" for p in QUOTED.findall(text)
                if not p.startswith(GENERATED) and not any(ROOT.glob(p))]
    missing += [f"module {m}" for m in MODULE_RUN.findall(text)
                if not (ROOT / (m.replace(".", "/") + ".py")).is_file()]
    assert not missing, f"{document.name} names what is not there: {', '.join(missing)}"
