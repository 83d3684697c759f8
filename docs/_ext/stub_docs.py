"""Build helpers of the documentation.

- The API reference is read from the type stubs. sphinx-autoapi keeps the docstring of the last ``@overload``
  of a function, while the stubs document the first one, and it prints the stubs' private type aliases
  (``_RandomState``) by name; ``autoapi-skip-member`` is used to restore the docstring and spell the aliases out.
  Pages of classes and functions are titled by their short names.
- The gallery runs the example scripts as they are written to run on their own: it lends them ``__file__``,
  takes a plain first docstring line as their title, and shows the figures they save into ``docs/images`` (the
  committed pictures) as well as figures they leave open.
"""

import ast
import builtins
import inspect
import re
import shutil
from pathlib import Path

DOCS = Path(__file__).resolve().parents[1]
STUBS = DOCS.parent / "stubs"
IMAGES = DOCS / "images"
EXAMPLES = DOCS.parent / "examples"


def _module_name(path):
    parts = path.relative_to(STUBS).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def _alias_value(node):
    """The right-hand side of ``_Name: TypeAlias = ...`` (or of a plain assignment), if it is one."""
    if isinstance(node, ast.AnnAssign) and ast.unparse(node.annotation).endswith("TypeAlias") and node.value:
        return node.target.id, node.value
    return None


def _read_stubs():
    """(documented overload docstrings by qualified name, private aliases by module)."""
    docs, aliases = {}, {}
    for path in sorted(STUBS.rglob("*.pyi")):
        module = _module_name(path)
        tree = ast.parse(path.read_text(), str(path))
        own = {}
        for node in tree.body:
            found = _alias_value(node)
            if found and found[0].startswith("_"):
                own[found[0]] = ast.unparse(found[1])
        aliases[module] = own

        def collect(prefix, body):
            for node in body:
                if isinstance(node, ast.FunctionDef):
                    doc = ast.get_docstring(node, clean=False)
                    if doc and any(ast.unparse(d).endswith("overload") for d in node.decorator_list):
                        docs.setdefault(f"{prefix}.{node.name}", doc)
                elif isinstance(node, ast.ClassDef):
                    collect(f"{prefix}.{node.name}", node.body)

        collect(module, tree.body)
    return docs, aliases


OVERLOAD_DOCS, ALIASES = _read_stubs()
# Members re-exported by a package lose track of their module; the stubs use each private alias name for one
# type only, so a table of all of them serves there.
ALL_ALIASES = {name: value for table in ALIASES.values() for name, value in table.items()}


def _expand(text, module):
    """Spells out the module's private aliases (repeatedly: an alias may use another)."""
    table = {**ALL_ALIASES, **ALIASES.get(module, {})}
    if not text or not table:
        return text
    pattern = re.compile(r"\b(" + "|".join(map(re.escape, table)) + r")\b")
    for _ in range(4):
        new = pattern.sub(lambda m: table[m.group(1)], text)
        if new == text:
            break
        text = new
    return text


def _home(obj):
    """(stub module, qualified name in the stubs) of an autoapi object, following re-exports."""
    path = obj.obj.get("original_path") or obj.id
    for module in sorted(ALIASES, key=len, reverse=True):
        if path.startswith(module + "."):
            return module, path
    return "", path


def _on_skip_member(app, what, name, obj, skip, options):
    module, path = _home(obj)
    restored = False
    if what in ("function", "method") and not obj.docstring and path in OVERLOAD_DOCS:
        # The same processing (napoleon) autoapi gives the docstrings it keeps.
        lines = inspect.cleandoc(OVERLOAD_DOCS[path]).splitlines() + [""]
        app.emit("autodoc-process-docstring", what, obj.name, None, None, lines)
        obj.docstring = "\n".join(lines)
        restored = True
    if what == "class":
        # Bases by their public names: duv.augmentation._meta_estimator_mixins.X -> duv.augmentation.X
        obj.bases = [re.sub(r"^(duv(?:\.[a-z]\w*)*)(?:\._\w+)+\.(\w+)$", r"\1.\2", b) for b in obj.bases]
    if what == "class" and obj.constructor:
        # A class prints its constructor's parsed arguments: (prefix, name, annotation, default).
        args = obj.constructor.obj["args"]
        args[:] = [(pre, name, _expand(ann, module), default) for pre, name, ann, default in args]
    elif what in ("function", "method"):
        obj.args = _expand(obj.args, module)
        obj.return_annotation = _expand(obj.return_annotation, module)
        obj.overloads = [(_expand(a, module), _expand(r, module)) for a, r in obj.overloads]
    elif what in ("attribute", "data", "property") and getattr(obj, "annotation", None):
        obj.annotation = _expand(obj.annotation, module)
    # Shown if it was hidden for want of a docstring alone, not for living in a private module.
    if restored and skip and not any(part.startswith("_") for part in obj.id.split(".")):
        return False
    return None


# ---------------------------------------------------------------------------------------------------------------
# Gallery

_seen = {}


def _images_state():
    return {p: p.stat().st_mtime_ns for p in IMAGES.glob("*.png")} if IMAGES.is_dir() else {}


def prepare_example(gallery_conf, fname, when):
    """Reset hook run before and after every example: remembers the pictures that exist before it runs, and
    lends it a ``__file__``. sphinx-gallery runs examples without one, while the scripts locate docs/images
    from it when they run on their own; a name missing from the example's globals is looked up in builtins."""
    if when == "before":
        _seen.clear()
        _seen.update(_images_state())
        builtins.__file__ = str(EXAMPLES / fname)
    else:
        vars(builtins).pop("__file__", None)


def saved_png_scraper(block, block_vars, gallery_conf, **kwargs):
    """Shows the PNGs a code block wrote into docs/images, and closes its figures so they are not shown twice."""
    from sphinx_gallery.scrapers import figure_rst

    now = _images_state()
    written = sorted(p for p, mtime in now.items() if _seen.get(p) != mtime)
    _seen.clear()
    _seen.update(now)
    if not written:
        return ""
    import matplotlib.pyplot as plt

    plt.close("all")
    targets = []
    for source in written:
        target = Path(next(block_vars["image_path_iterator"]))
        shutil.copyfile(source, target)
        targets.append(target)
    return figure_rst(targets, gallery_conf["src_dir"])


def _short_titles(app, docname, source):
    """Titles ``SMOTEAugmentedRegressor`` rather than ``duv.augmentation.SMOTEAugmentedRegressor`` on the pages
    of classes and functions (the page of a package keeps its dotted name); the signature keeps the full name."""
    if not docname.startswith("api/") or docname.endswith("/index"):
        return
    text = source[0]
    first, _, rest = text.partition("\n")
    underline, _, body = rest.partition("\n")
    if re.fullmatch(r"duv(\.\w+)+", first) and set(underline) == {"="}:
        short = first.rpartition(".")[2]
        source[0] = f"{short}\n{'=' * len(short)}\n{body}"


def _example_titles(app, docname, source):
    """An example whose docstring starts with a plain summary line (a script's usual docstring) gets that line
    as its page title; sphinx-gallery expects an underlined reST title there."""
    if not docname.startswith("auto_examples/plot_"):
        return
    source[0] = re.sub(
        r"(\n\.\. _sphx_glr_\S+:\n\n)([^\n.=][^\n]*)\n(?![=\-~^\"'`#*+<>]{3})",
        lambda m: f"{m.group(1)}{m.group(2)}\n{'=' * len(m.group(2))}\n",
        source[0],
        count=1,
    )


def setup(app):
    app.connect("autoapi-skip-member", _on_skip_member)
    app.connect("source-read", _short_titles)
    app.connect("source-read", _example_titles)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
