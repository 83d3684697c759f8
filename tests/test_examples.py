"""The README's demonstration runs and prints its table."""
import os
import subprocess
import sys

from conftest import ROOT


def test_demo_prints_one_row_per_comparison():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run([sys.executable, os.path.join(ROOT, "examples", "demo.py")], capture_output=True, text=True,
                         env=env, timeout=300, check=True).stdout.splitlines()
    header, rows, summary = out[0], out[1:-2], out[-1]
    assert header.split() == ["baseline", "duv", "note"]
    assert len(rows) == 7 and summary.startswith("7 comparisons in ")
    assert all("nan" not in r for r in rows)
