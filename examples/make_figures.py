"""Regenerates every picture of the documentation: runs each examples/plot_*.py, which saves one PNG in docs/images.

pip install ".[plot]" && python examples/make_figures.py
"""

import glob
import os
import runpy
import sys

import matplotlib

matplotlib.use("Agg")  # files only, never a window

import matplotlib.pyplot as plt

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    os.makedirs(os.path.join(HERE, os.pardir, "docs", "images"), exist_ok=True)
    for script in sorted(glob.glob(os.path.join(HERE, "plot_*.py"))):
        image = runpy.run_path(script)["IMAGE"]
        runpy.run_path(script, run_name="__main__")
        plt.close("all")
        print(f"{os.path.relpath(script)} -> {os.path.relpath(image)} ({os.path.getsize(image) // 1024} KiB)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
