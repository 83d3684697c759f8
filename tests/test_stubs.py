"""The type stubs (stubs/duv, installed beside the library) agree with the compiled objects and type-check.

Modules that are not built yet are skipped: their stubs are checked once the library registers them.
"""

import ast
import builtins
import importlib
import importlib.util
import inspect
import os
import re
import shutil
import subprocess
import sys
import typing
from pathlib import Path

import pytest

import duv
from conftest import ROOT

STUBS = Path(ROOT) / "stubs"
EXAMPLE = Path(ROOT) / "examples" / "typing_tour.py"
SUBPACKAGES = ["duv.augmentation", "duv.ensemble", "duv.metrics", "duv.neural_network", "duv.preprocessing"]
MODULE_DUNDERS = {
    "__name__",
    "__doc__",
    "__package__",
    "__loader__",
    "__spec__",
    "__path__",
    "__file__",
    "__cached__",
    "__builtins__",
    "__all__",
    "__annotations__",
    "__annotate__",
    "__dict__",
}


def _module_name(path):
    parts = path.relative_to(STUBS).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


STUB_PATHS = {_module_name(p): p for p in sorted(STUBS.rglob("*.pyi"))}
TREES = {name: ast.parse(path.read_text(), str(path)) for name, path in STUB_PATHS.items()}
ALIASES = {
    name: {
        node.target.id: node.value
        for node in tree.body
        if isinstance(node, ast.AnnAssign) and ast.unparse(node.annotation) == "TypeAlias"
    }
    for name, tree in TREES.items()
}
# scikit-learn generates set_<method>_request for the metadata its estimators' methods take.
REQUEST = re.compile(r"set_\w+_request")


def _is_public(name):
    return not name.startswith("_") or (name.startswith("__") and name.endswith("__"))


def _is_overload(fn):
    return any(ast.unparse(d) in ("overload", "typing.overload") for d in fn.decorator_list)


def _is_property(fn):
    return any(ast.unparse(d) == "property" for d in fn.decorator_list)


def _functions(body):
    """name -> the FunctionDefs of that name (several for overloads), in order."""
    found = {}
    for node in body:
        if isinstance(node, ast.FunctionDef):
            found.setdefault(node.name, []).append(node)
    return found


def _all_list(tree):
    for node in tree.body:
        if isinstance(node, ast.Assign) and [ast.unparse(t) for t in node.targets] == ["__all__"]:
            return ast.literal_eval(node.value)
    return None


def _declared(tree):
    """Names a stub module binds for its users: definitions, annotated variables and re-exported imports."""
    exported = set(_all_list(tree) or ())
    names = {}
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names[node.name] = node
        elif isinstance(node, ast.AnnAssign):
            names[node.target.id] = node
        elif isinstance(node, ast.Assign):
            for target in node.targets:
                names[target.id] = node
        elif isinstance(node, ast.ImportFrom):
            for alias in node.names:
                if alias.asname == alias.name or alias.name in exported:
                    names[alias.name] = node
    return names


def _import_sources(tree, module):
    """name -> (absolute module, original name) for every `from ... import` of a stub."""
    package = module if STUB_PATHS[module].name == "__init__.pyi" else module.rpartition(".")[0]
    sources = {}
    for node in tree.body:
        if isinstance(node, ast.ImportFrom):
            base = (
                importlib.util.resolve_name("." * node.level + (node.module or ""), package)
                if node.level
                else node.module
            )
            for alias in node.names:
                sources[alias.asname or alias.name] = (base, alias.name)
    return sources


def _is_built(module):
    try:
        return importlib.util.find_spec(module) is not None
    except ModuleNotFoundError:
        return False


def _runtime(module):
    if not _is_built(module):
        pytest.skip(f"{module} is not built yet")
    return importlib.import_module(module)


def _runtime_public(mod):
    """What a compiled module offers: all a package binds; what a private module defines itself."""
    package = hasattr(mod, "__path__")
    names = set(getattr(mod, "__all__", ())) | set(vars(mod).get("__annotations__", {}))
    for name, value in vars(mod).items():
        if name in MODULE_DUNDERS or inspect.ismodule(value):
            continue
        if package or (_is_public(name) and getattr(value, "__module__", None) == mod.__name__):
            names.add(name)
    return names


def _own_members(cls):
    """Public functions and properties the package defines on a class itself, and __init__."""
    names = set()
    for name, value in vars(cls).items():
        fn = value.fget if isinstance(value, property) else value
        if (name == "__init__" or _is_public(name)) and inspect.isfunction(fn) and fn.__module__.startswith("duv"):
            names.add(name)
    return names


# ---------------------------------------------------------------------------------------------------------------
# Signatures


def _stub_parameters(fn):
    """(name, kind, default node or None, annotation node or None) per parameter of a stub function."""
    a = fn.args
    P = inspect.Parameter
    positional = [(arg, P.POSITIONAL_ONLY) for arg in a.posonlyargs]
    positional += [(arg, P.POSITIONAL_OR_KEYWORD) for arg in a.args]
    defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
    params = [
        (arg.arg, kind, default, arg.annotation) for (arg, kind), default in zip(positional, defaults, strict=True)
    ]
    if a.vararg:
        params.append((a.vararg.arg, P.VAR_POSITIONAL, None, a.vararg.annotation))
    params += [
        (arg.arg, P.KEYWORD_ONLY, default, arg.annotation)
        for arg, default in zip(a.kwonlyargs, a.kw_defaults, strict=True)
    ]
    if a.kwarg:
        params.append((a.kwarg.arg, P.VAR_KEYWORD, None, a.kwarg.annotation))
    return params


def _same_default(runtime, node):
    if node is None or runtime is inspect.Parameter.empty:
        return node is None and runtime is inspect.Parameter.empty
    stub = ast.literal_eval(node)
    if type(runtime).__module__ == "numpy":  # np.finfo(float).eps and the like
        runtime = runtime.item()
    return type(runtime) is type(stub) and runtime == stub


def _string_literals(node, aliases):
    """The strings of a stub annotation that is a ``Literal`` of strings (directly or through aliases), else None."""
    while isinstance(node, ast.Name) and node.id in aliases:
        node = aliases[node.id]
    if isinstance(node, ast.BinOp) and isinstance(node.op, ast.BitOr):
        left, right = _string_literals(node.left, aliases), _string_literals(node.right, aliases)
        return None if left is None or right is None else left + right
    if isinstance(node, ast.Subscript) and ast.unparse(node.value) == "Literal":
        values = node.slice.elts if isinstance(node.slice, ast.Tuple) else [node.slice]
        if all(isinstance(v, ast.Constant) and isinstance(v.value, str) for v in values):
            return [v.value for v in values]
    return None


def _same_annotation(runtime, node, namespace, aliases=None):
    """The stub restates an annotation the compiled object carries (a string, or the object it names), or narrows
    a ``str`` to the ``Literal`` strings the parameter accepts."""
    if runtime is inspect.Parameter.empty:
        return True
    if node is None:
        return False
    if (runtime is str or runtime == "str") and _string_literals(node, aliases or {}):
        return True
    text = ast.unparse(node)
    if isinstance(runtime, str):
        return ast.unparse(ast.parse(runtime, mode="eval").body) == text
    try:
        return eval(text, {**vars(builtins), **vars(typing), **namespace}) == runtime
    except Exception:
        return False


def _signature_problems(obj, defs, namespace, aliases=None):
    """Disagreements between a compiled callable and its stub (one def, or overloads ending in the general one)."""
    if isinstance(obj, property):
        obj = obj.fget
    signature = inspect.signature(obj)
    runtime = [(p.name, p.kind, p.default, p.annotation) for p in signature.parameters.values()]
    problems = []
    for index, fn in enumerate(defs):
        general = index == len(defs) - 1
        stub = _stub_parameters(fn)
        label = f"overload {index + 1}: " if len(defs) > 1 else ""
        if [(n, k) for n, k, _, _ in stub] != [(n, k) for n, k, _, _ in runtime]:
            problems.append(
                f"{label}parameters {[(n, k.name) for n, k, _, _ in stub]} != {[(n, k.name) for n, k, _, _ in runtime]}"
            )
            continue
        for (name, _, default, annotation), (_, _, rt_default, rt_annotation) in zip(stub, runtime, strict=True):
            if (general or default is not None) and not _same_default(rt_default, default):
                problems.append(f"{label}default of {name}: {default and ast.unparse(default)} != {rt_default!r}")
            if general and not _same_annotation(rt_annotation, annotation, namespace, aliases):
                problems.append(
                    f"{label}annotation of {name}: {annotation and ast.unparse(annotation)} != {rt_annotation!r}"
                )
        if general and not _same_annotation(signature.return_annotation, fn.returns, namespace):
            problems.append(
                f"return annotation: {fn.returns and ast.unparse(fn.returns)} != {signature.return_annotation!r}"
            )
    if len(defs) > 1 and not all(_is_overload(fn) for fn in defs):
        problems.append("several definitions that are not all overloads")
    return problems


def _stub_callables():
    """(module, class name or None, function name, defs) for every public function and method of the stubs."""
    items = []
    for module, tree in TREES.items():
        for name, defs in _functions(tree.body).items():
            if _is_public(name):
                items.append((module, None, name, defs))
        for cls in (n for n in tree.body if isinstance(n, ast.ClassDef) and _is_public(n.name)):
            for name, defs in _functions(cls.body).items():
                items.append((module, cls.name, name, defs))
    return items


CALLABLES = _stub_callables()
OWN_CALLABLES = [c for c in CALLABLES if not (c[1] and REQUEST.fullmatch(c[2]))]


@pytest.mark.parametrize(
    "module, cls, name, defs", OWN_CALLABLES, ids=[f"{m}.{c + '.' if c else ''}{n}" for m, c, n, _ in OWN_CALLABLES]
)
def test_stub_signature_matches_the_compiled_object(module, cls, name, defs):
    mod = _runtime(module)
    owner = getattr(mod, cls) if cls else mod
    assert name in vars(owner), f"{module}.{cls or ''}: the stub declares {name}, the compiled object has none"
    obj = vars(owner)[name]
    assert isinstance(obj, property) == any(_is_property(fn) for fn in defs), f"{name}: property or method"
    home = sys.modules[getattr(obj, "__module__", None) or module]  # where its annotations' names are bound
    assert _signature_problems(obj, defs, vars(home), ALIASES[module]) == []


@pytest.mark.parametrize(
    "annotation, accepted",
    [
        ('Literal["log", "log10"]', ["log", "log10"]),
        ("_Mode", ["passthrough", "consume"]),
        ('Literal["a"] | Literal["b"]', ["a", "b"]),
        ('Literal["auto"] | int', None),
        ("Literal[1, 2]", None),
        ("str", None),
        ("_Bins", None),
    ],
)
def test_only_a_literal_of_strings_narrows_a_str_annotation(annotation, accepted):
    aliases = {
        "_Mode": ast.parse('Literal["passthrough", "consume"]', mode="eval").body,
        "_Bins": ast.parse('int | Literal["auto"]', mode="eval").body,
    }
    node = ast.parse(annotation, mode="eval").body
    assert _string_literals(node, aliases) == accepted
    assert _same_annotation(str, node, {}, aliases) == (accepted is not None or annotation == "str")
    assert _same_annotation("str", node, {}, aliases) == (accepted is not None or annotation == "str")
    assert not _same_annotation(int, node, {}, aliases)


# ---------------------------------------------------------------------------------------------------------------
# Modules and classes


@pytest.mark.parametrize("module", sorted(TREES))
def test_stub_declares_exactly_the_public_objects(module):
    mod = _runtime(module)
    assert mod.__spec__.origin == duv.__file__  # from the library, never from the stubs' directories
    tree = TREES[module]
    declared = _declared(tree)
    missing = _runtime_public(mod) - set(declared)
    assert not missing, f"compiled public objects without a stub in {module}: {sorted(missing)}"

    sources = _import_sources(tree, module)
    stub_all = _all_list(tree)
    expected = [
        n for n in declared if _is_public(n) and n != "__all__" and (n not in sources or _is_built(sources[n][0]))
    ]  # re-exports of modules not built yet wait
    absent = [n for n in expected if not hasattr(mod, n)]
    assert not absent, f"{module} has no {absent}, which its stub declares"
    if stub_all is None:
        assert not hasattr(mod, "__all__")
    else:
        assert mod.__all__ == [n for n in stub_all if n in expected]


CLASSES = [
    (module, node)
    for module, tree in TREES.items()
    for node in tree.body
    if isinstance(node, ast.ClassDef) and _is_public(node.name)
]


@pytest.mark.parametrize("module, node", CLASSES, ids=[f"{m}.{n.name}" for m, n in CLASSES])
def test_class_stub_has_the_bases_and_members_of_the_compiled_class(module, node):
    cls = getattr(_runtime(module), node.name)
    sources = _import_sources(TREES[module], module)
    bases = [sources.get(ast.unparse(b), (None, ast.unparse(b)))[1] for b in node.bases]
    assert (bases or ["object"]) == [b.__name__ for b in cls.__bases__]
    declared = {n for n in _functions(node.body) if (_is_public(n) or n == "__init__") and not REQUEST.fullmatch(n)}
    assert declared == _own_members(cls)


def _generated_requests(cls):
    """set_<method>_request name -> its metadata parameters, for those scikit-learn generated on the class."""
    return {
        name: list(inspect.signature(getattr(cls, name)).parameters)[1:]
        for name, value in vars(cls).items()
        if REQUEST.fullmatch(name) and type(value).__name__ == "RequestMethod"
    }


@pytest.mark.parametrize("module, node", CLASSES, ids=[f"{m}.{n.name}" for m, n in CLASSES])
def test_class_stub_declares_the_metadata_requests_scikit_learn_generates(module, node):
    # The stubs follow the current scikit-learn, which stubtest checks exactly; an older one generates fewer
    # requests, or fewer parameters.
    generated = _generated_requests(getattr(_runtime(module), node.name))
    declared = {name: defs for name, defs in _functions(node.body).items() if REQUEST.fullmatch(name)}
    assert set(generated) <= set(declared)
    P = inspect.Parameter
    for name, defs in declared.items():
        (fn,) = defs
        params = _stub_parameters(fn)
        assert params[0][:2] == ("self", P.POSITIONAL_OR_KEYWORD) and ast.unparse(fn.returns) == "Self", name
        for param, kind, default, annotation in params[1:]:
            assert (kind, ast.literal_eval(default), ast.unparse(annotation)) == (
                P.KEYWORD_ONLY,
                "$UNCHANGED$",
                "bool | str | None",
            ), f"{name}({param})"
        if name in generated:
            assert set(generated[name]) <= {param for param, *_ in params[1:]}, name


def test_every_built_module_has_a_stub():
    for package in SUBPACKAGES:
        importlib.import_module(package)
    built = {name for name in sys.modules if name == "duv" or name.startswith("duv.")}
    assert built - set(TREES) == set()
    assert {"duv", "duv._version", "duv.metrics._log_metrics"} <= built


def _documented_items():
    """(label, docstring, parameter names that must appear in it) for every public item of the stubs."""
    items = []

    def add_body(prefix, body, in_class):
        for i, node in enumerate(body):
            # Module variables and fitted attributes; constructor parameters are documented by __init__.
            if (
                isinstance(node, ast.AnnAssign)
                and _is_public(node.target.id)
                and (not in_class or node.target.id.endswith("_"))
            ):
                nxt = body[i + 1] if i + 1 < len(body) else None
                doc = nxt.value.value if isinstance(nxt, ast.Expr) and isinstance(nxt.value, ast.Constant) else None
                items.append((f"{prefix}{node.target.id}", doc, []))
        for name, defs in _functions(body).items():
            if _is_public(name) or name in ("__init__", "__call__"):
                docs = [ast.get_docstring(fn) for fn in defs if ast.get_docstring(fn)]
                params = [p for p, _, _, _ in _stub_parameters(defs[0]) if p not in ("self", "cls")]
                items.append((f"{prefix}{name}", docs[0] if len(docs) == 1 else None, params))

    for module, tree in TREES.items():
        items.append((module, ast.get_docstring(tree), []))
        add_body(f"{module}.", tree.body, False)
        for cls in (n for n in tree.body if isinstance(n, ast.ClassDef)):
            if _is_public(cls.name):
                items.append((f"{module}.{cls.name}", ast.get_docstring(cls), []))
            add_body(f"{module}.{cls.name}.", cls.body, True)
    return items


def test_every_public_item_has_a_docstring_that_names_its_parameters():
    problems = []
    for label, doc, params in _documented_items():
        if not doc:
            problems.append(f"{label}: no docstring (or one on several overloads)")
            continue
        problems += [f"{label}: docstring does not mention {p}" for p in params if not re.search(rf"\b{p}\b", doc)]
    assert problems == []


def test_overloaded_results_are_the_documented_ones():
    # A metric gives a float unless multioutput="raw_values"; predict(return_std=True) gives a pair.
    tree = TREES["duv.metrics._log_metrics"]
    returns = [ast.unparse(fn.returns) for fn in _functions(tree.body)["mean_squared_log_error"]]
    assert returns == ["float", "NDArray[np.float64]", "NDArray[np.float64] | float"]
    moe = next(n for n in TREES["duv.ensemble._mixture_of_experts"].body if isinstance(n, ast.ClassDef))
    predict = _functions(moe.body)["predict"]
    assert [ast.unparse(fn.returns) for fn in predict][:2] == ["_Floats", "tuple[_Floats, _Floats]"]
    for module, cls, name, defs in CALLABLES:
        if name == "fit":
            assert [ast.unparse(fn.returns) for fn in defs] == ["Self"], f"{module}.{cls}.fit"


# ---------------------------------------------------------------------------------------------------------------
# Installation


def test_installed_stubs_are_the_source_stubs():
    installed = Path(duv.__file__).parent
    if not (installed / "__init__.pyi").exists():
        pytest.skip("a developer build: the stubs are installed by `pip install .`")
    assert (installed / "py.typed").exists()
    for module, path in STUB_PATHS.items():
        copy = installed / path.relative_to(STUBS / "duv")
        assert copy.read_bytes() == path.read_bytes(), f"installed stub of {module} differs"
    assert not list(installed.rglob("*.py")), "no Python source is installed"


# ---------------------------------------------------------------------------------------------------------------
# Type checkers

# Each line must be rejected; the stubs are not Any.
REJECTED = """\
from duv.metrics import mean_squared_log_error
from duv.ensemble import MixtureOfExpertsRegressor
from duv.augmentation import resample_augment, SMOTEAugmentedRegressor
from duv.augmentation import HistogramAugmentedClassifier, histogram_augment
from duv.metrics import log_r2_score, make_categorical_balanced_scorer
from duv.preprocessing import LogarithmScaler
import duv._version
x: str = mean_squared_log_error([1.0], [1.0])
y: float = mean_squared_log_error([1.0], [1.0], multioutput="raw_values")
z = mean_squared_log_error([1.0], [1.0], multioutput="median")
m = MixtureOfExpertsRegressor(split="kmean")
p: float = MixtureOfExpertsRegressor().predict([[1.0]], return_std=True)
r = resample_augment([[1.0]], [1.0], 2.0)
s = SMOTEAugmentedRegressor(None).fit([[1.0]])
t = LogarithmScaler("log", True)
u: int = duv._version.commit_id
v = LogarithmScaler(mode="log2")
w = HistogramAugmentedClassifier(None, y_bins="automatic")
a = histogram_augment([[1.0]], [1.0], target="z")
b = resample_augment([[1.0]], [1.0], sample_weight_mode="generate")
c = SMOTEAugmentedRegressor(None, sample_weight_mode="weights")
d = log_r2_score([1.0], [1.0], nan_policy="omit")
e = make_categorical_balanced_scorer(log_r2_score, columns=0, normalize_weights="sum")
f = make_categorical_balanced_scorer(log_r2_score, columns=0, response_method=["predict_prob"])
"""


def _mypy(tmp_path, files, mypypath):
    env = dict(os.environ)
    env.pop("MYPYPATH", None)
    if mypypath:
        env["MYPYPATH"] = str(mypypath)
    cmd = [
        sys.executable,
        "-m",
        "mypy",
        "--strict",
        "--config-file",
        str(Path(ROOT) / "pyproject.toml"),
        "--cache-dir",
        str(tmp_path / "cache"),
        "--no-error-summary",
        *map(str, files),
    ]
    return subprocess.run(cmd, capture_output=True, text=True, cwd=ROOT, env=env, timeout=600)


@pytest.mark.parametrize("where", ["source", "installed"])
def test_mypy_strict_accepts_the_typing_tour_and_rejects_misuse(tmp_path, where):
    pytest.importorskip("mypy")
    if where == "installed" and not (Path(duv.__file__).parent / "py.typed").exists():
        pytest.skip("a developer build: found through MYPYPATH only")
    mypypath = STUBS if where == "source" else None  # installed: found beside the library (PEP 561)
    files = [EXAMPLE] + ([STUBS / "duv"] if where == "source" else [])
    ok = _mypy(tmp_path, files, mypypath)
    assert ok.returncode == 0, ok.stdout + ok.stderr

    bad = tmp_path / "misuse.py"
    bad.write_text(REJECTED)
    result = _mypy(tmp_path, [bad], mypypath)
    lines = {int(m.group(1)) for m in re.finditer(r"misuse\.py:(\d+): error", result.stdout)}
    first = REJECTED.count("\n", 0, REJECTED.index("x: str"))
    assert lines == set(range(first + 1, REJECTED.count("\n") + 1)), result.stdout


def test_stubtest_finds_the_stubs_and_the_installed_library_agree(tmp_path):
    pytest.importorskip("mypy")
    if not (Path(duv.__file__).parent / "py.typed").exists():
        pytest.skip("a developer build: stubtest reads the stubs installed beside the library")
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}  # the stubs beside the library, not the sources
    cmd = [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(Path(ROOT) / "pyproject.toml"), "duv"]
    proc = subprocess.run(cmd, capture_output=True, text=True, cwd=tmp_path, env=env, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_pyright_strict_accepts_the_typing_tour():
    beside = Path(sys.executable).with_name("pyright")  # a virtual environment that is not activated
    pyright = str(beside) if beside.exists() else shutil.which("pyright")
    if pyright is None:
        pytest.skip("pyright is not installed (pip install '.[typing]')")
    proc = subprocess.run(
        [pyright, "--pythonpath", sys.executable, str(EXAMPLE)], capture_output=True, text=True, cwd=ROOT, timeout=600
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "0 errors" in proc.stdout


# ---------------------------------------------------------------------------------------------------------------
# The typing tour


def test_typing_tour_uses_the_whole_public_api():
    tree = ast.parse(EXAMPLE.read_text())
    imported = {alias.name for node in ast.walk(tree) if isinstance(node, ast.ImportFrom) for alias in node.names}
    used = {node.attr for node in ast.walk(tree) if isinstance(node, ast.Attribute)} | imported
    for package in SUBPACKAGES:
        assert set(_all_list(TREES[package])) <= imported, package
    missing = {name for _, cls, name, _ in CALLABLES if cls and name != "__init__" and not cls.startswith("_")} - used
    assert not missing, f"methods the tour never calls: {sorted(missing)}"


def test_typing_tour_runs(fresh_python):
    if not all(_is_built(module) for module in TREES):
        pytest.skip("some modules are not built yet")
    out = fresh_python(f"import runpy; runpy.run_path({str(EXAMPLE)!r}, run_name='__main__')")
    assert "LinearScalingMLPClassifier layers" in out and "balanced scorer" in out
