"""Sphinx configuration: the API reference is generated from the type stubs (stubs/duv), the gallery from
examples/plot_*.py, the user guide is written in docs/guide; `scripts/build-docs.sh` builds it all."""

import sys
import tomllib
from pathlib import Path

DOCS = Path(__file__).resolve().parent
ROOT = DOCS.parent
sys.path.insert(0, str(DOCS / "_ext"))

with open(ROOT / "pyproject.toml", "rb") as f:
    release = version = tomllib.load(f)["project"]["version"]

project = "duv"
author = "The duv developers"
copyright = "The duv developers"

extensions = [
    "sphinx.ext.napoleon",
    "sphinx.ext.doctest",
    "autoapi.extension",
    "sphinx_gallery.gen_gallery",
    "stub_docs",
]

exclude_patterns = ["_build", "auto_examples/*.ipynb", "auto_examples/*.py", "auto_examples/*.zip"]
templates_path = []
nitpicky = False

html_theme = "furo"
html_title = f"duv {release}"
html_static_path = []

# The runtime objects carry no docstrings: the reference is read from the stubs, never imported.
autoapi_type = "python"
autoapi_dirs = [str(ROOT / "stubs")]
autoapi_file_patterns = ["*.pyi"]
autoapi_root = "api"
autoapi_add_toctree_entry = False
autoapi_keep_files = False
autoapi_member_order = "bysource"
autoapi_own_page_level = "function"
autoapi_python_class_content = "both"
autoapi_options = ["members", "show-inheritance", "show-module-summary", "imported-members"]

napoleon_google_docstring = True
napoleon_numpy_docstring = False
napoleon_use_rtype = False

sphinx_gallery_conf = {
    "examples_dirs": [str(ROOT / "examples")],
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"/plot_",
    "ignore_pattern": r"^(?!plot_)",
    "image_scrapers": ("stub_docs.saved_png_scraper", "matplotlib"),
    "reset_modules": ("stub_docs.prepare_example", "matplotlib"),
    "reset_modules_order": "both",
    "download_all_examples": False,
    "remove_config_comments": True,
    "abort_on_example_error": True,
}

import doctest  # noqa: E402

doctest_default_flags = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE | doctest.DONT_ACCEPT_TRUE_FOR_1
doctest_global_setup = "import numpy as _np; _np.set_printoptions(precision=4, suppress=True)"
