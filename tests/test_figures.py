"""The picture scripts: each runs alone, saves one small PNG and shows nothing; the README shows every picture."""

import ast
import os
import runpy
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import ROOT

EXAMPLES = Path(ROOT) / "examples"
IMAGES = Path(ROOT) / "docs" / "images"
SCRIPTS = sorted(EXAMPLES.glob("plot_*.py"))
PNG = b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("script", SCRIPTS, ids=lambda p: p.stem)
def test_script_has_a_gallery_docstring(script):
    doc = ast.get_docstring(ast.parse(script.read_text()))
    title, blank, *paragraph = doc.splitlines()
    assert title and not title.endswith(".") and blank == "" and " ".join(paragraph).count(". ") >= 1
    assert script.stem.removeprefix("plot_") + ".png" in script.read_text()


@pytest.mark.parametrize("script", SCRIPTS, ids=lambda p: p.stem)
def test_script_saves_one_small_png(script, tmp_path):
    pytest.importorskip("matplotlib")
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    namespace = runpy.run_path(str(script))  # not as __main__: nothing runs on import
    assert Path(namespace["IMAGE"]).resolve() == (IMAGES / (script.stem.removeprefix("plot_") + ".png")).resolve()
    out = tmp_path / "figure.png"
    fig = namespace["main"](str(out))
    plt.close(fig)
    assert out.read_bytes()[:8] == PNG and 5_000 < out.stat().st_size < 200_000


def test_committed_pictures_are_small_and_shown_in_the_readme():
    readme = (Path(ROOT) / "README.md").read_text()
    images = sorted(IMAGES.glob("*.png"))
    assert [p.stem for p in images] == [s.stem.removeprefix("plot_") for s in SCRIPTS]
    for image in images:
        assert image.read_bytes()[:8] == PNG and image.stat().st_size < 200_000, image.name
        assert f"docs/images/{image.name}" in readme, image.name


def test_one_command_regenerates_every_picture(tmp_path):
    pytest.importorskip("matplotlib")
    # A copy of the examples, so that the committed pictures stay as they are.
    (tmp_path / "examples").mkdir()
    for script in [EXAMPLES / "make_figures.py", *SCRIPTS]:
        (tmp_path / "examples" / script.name).write_text(script.read_text())
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), MPLBACKEND="Agg")
    out = subprocess.run(
        [sys.executable, "examples/make_figures.py"],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=600,
        check=True,
    ).stdout
    made = sorted(p.name for p in (tmp_path / "docs" / "images").glob("*.png"))
    assert made == sorted(p.name for p in IMAGES.glob("*.png"))
    assert out.count(" -> ") == len(SCRIPTS)
