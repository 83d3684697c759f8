"""The documentation sources: every code example of the landing page and the user guide is a doctest (the
docs build runs them all), the guide covers every public name, and the README links every guide page."""

import ast
import re
from pathlib import Path

import pytest

from conftest import ROOT

DOCS = Path(ROOT) / "docs"
PAGES = [DOCS / "index.rst"] + sorted((DOCS / "guide").glob("*.rst"))
GUIDE = [p for p in PAGES if p.parent.name == "guide" and p.name != "index.rst"]

# Blocks a doctest run would skip: code directives, literal blocks ("::"), directives that run code themselves.
UNTESTED = re.compile(
    r"^\s*\.\. (code-block|code|sourcecode|literalinclude|plot|ipython)::|^(?!\s*\.\. )\s*\S.*::\s*$", re.MULTILINE
)


def _public_names():
    for init in sorted((Path(ROOT) / "stubs" / "duv").glob("*/__init__.pyi")):
        for node in ast.parse(init.read_text()).body:
            if isinstance(node, ast.Assign) and [ast.unparse(t) for t in node.targets] == ["__all__"]:
                yield from ast.literal_eval(node.value)


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.relative_to(DOCS).as_posix())
def test_every_code_example_is_a_doctest(page):
    text = page.read_text()
    assert [m.group(0).strip() for m in UNTESTED.finditer(text)] == []
    if page in GUIDE:
        assert ">>> " in text, "a guide page without a single example"


def test_untested_block_pattern_catches_what_it_must():
    assert UNTESTED.search("Example::\n\n    x = 1\n")
    assert UNTESTED.search(".. code-block:: python\n")
    assert UNTESTED.search("    .. code:: python\n")
    for harmless in (".. figure:: /images/a.png\n", ".. toctree::\n", "``a`` and ``b``\n", ">>> d = {1: 2}\n"):
        assert not UNTESTED.search(harmless), harmless


def test_the_guide_mentions_every_public_name():
    guide = "\n".join(p.read_text() for p in GUIDE)
    assert [n for n in _public_names() if not re.search(rf"\b{n}\b", guide)] == []


def test_the_readme_links_every_guide_page():
    readme = (Path(ROOT) / "README.md").read_text()
    linked = set(re.findall(r"\]\((docs/guide/[\w.]+\.rst)\)", readme))
    assert linked == {p.relative_to(ROOT).as_posix() for p in GUIDE}
