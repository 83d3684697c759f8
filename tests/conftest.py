import os
import subprocess
import sys

import pytest

try:
    import tomllib
except ImportError:  # Python 3.10 and older
    tomllib = None

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def project_version():
    """The version written in pyproject.toml, the one place it is set."""
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        return tomllib.load(f)["project"]["version"]


def run_python(code):
    """Runs `code` in a fresh interpreter with this test session's import path."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=300)
    if proc.returncode != 0:
        raise AssertionError(f"subprocess failed:\n{proc.stdout}\n{proc.stderr}")
    return proc.stdout


@pytest.fixture
def fresh_python():
    return run_python
