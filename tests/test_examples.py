"""The README's demonstration runs and prints its table."""

import os
import subprocess
import sys

from conftest import ROOT


def test_demo_prints_one_row_per_comparison():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run(
        [sys.executable, os.path.join(ROOT, "examples", "demo.py")],
        capture_output=True,
        text=True,
        env=env,
        timeout=300,
        check=True,
    ).stdout.splitlines()
    header, rows, summary = out[0], out[1:-2], out[-1]
    assert header.split() == ["baseline", "duv", "note"]
    assert len(rows) == 8 and summary.startswith("8 comparisons in ")
    assert all("nan" not in r for r in rows)
    # The metric rows compute one number twice: with duv's function and with scikit-learn's building blocks.
    columns = {r[:32].strip(): (r[32:42].strip(), r[42:52].strip()) for r in rows}
    for what in ("ridge, test log1p R^2", "ridge, test FVU", "ridge, CV sex-balanced MSE"):
        assert columns[what][0] == columns[what][1], what
