import functools
import hashlib
import importlib
import os
import subprocess
import sys
import threading
import types

import numpy as np
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


# --- The caller's inputs are never modified -------------------------------------------------------------------
#
# For the duration of every test, each public function of the package and each public method (and constructor)
# of its classes is replaced by a wrapper that fingerprints the arguments (all but `self`) before and after the
# call; a difference fails the test at teardown, so an error swallowed by the code under test or an expected
# failure cannot hide it. Only the outermost call of the package is checked.

SUBPACKAGES = ("duv.augmentation", "duv.ensemble", "duv.metrics", "duv.neural_network", "duv.preprocessing")
# These inspect the raw objects (types, identities, code objects, stubs, pickling by reference).
RAW_OBJECT_MODULES = {"test_function_type", "test_introspection", "test_stubs", "test_package", "test_stable_abi"}
_SCALARS = (bool, int, float, complex, str, bytes, type(None), np.generic)


def _array_key(a):
    if a.dtype.hasobject:
        content = tuple(map(repr, a.ravel(order="K")))
    else:
        try:
            content = hashlib.blake2b(np.ascontiguousarray(a).reshape(-1).view(np.uint8)).digest()
        except (TypeError, ValueError):
            content = hashlib.blake2b(a.tobytes()).digest()
    return ("ndarray", a.shape, a.dtype.str, a.dtype.descr, a.strides, a.flags.writeable, content)


def _key(obj, depth=0):
    """A comparable fingerprint of everything a call could change in `obj`."""
    if isinstance(obj, _SCALARS):
        return repr(obj)
    if depth > 8:
        return ("deep", id(obj))
    if isinstance(obj, np.ndarray):
        return _array_key(obj)
    if isinstance(obj, (list, tuple)):
        return (type(obj).__name__, tuple(_key(x, depth + 1) for x in obj))
    if isinstance(obj, dict):
        return ("dict", tuple((repr(k), _key(v, depth + 1)) for k, v in obj.items()))
    module = type(obj).__module__
    if module.startswith("pandas"):
        return _pandas_key(obj, depth)
    if module.startswith("scipy.sparse") and hasattr(obj, "tocoo"):
        return (
            "sparse",
            obj.format,
            obj.shape,
            tuple(_key(getattr(obj, n, None), depth + 1) for n in ("data", "indices", "indptr", "row", "col")),
        )
    if not isinstance(obj, type) and callable(getattr(obj, "get_params", None)):
        try:
            params = obj.get_params(deep=False)
        except Exception:  # not an estimator after all
            params = {}
        return (
            "estimator",
            type(obj),
            tuple(sorted(vars(obj))) if hasattr(obj, "__dict__") else None,
            tuple((k, _key(v, depth + 1)) for k, v in params.items()),
        )
    return ("object", type(obj), id(obj))


def _pandas_key(obj, depth):
    import pandas as pd

    if isinstance(obj, pd.DataFrame):
        return (
            "DataFrame",
            _pandas_key(obj.index, depth),
            _pandas_key(obj.columns, depth),
            tuple(map(str, obj.dtypes)),
            tuple(_array_key(np.asarray(col.to_numpy())) for _, col in obj.items()),
        )
    if isinstance(obj, pd.Series):
        return (
            "Series",
            repr(obj.name),
            str(obj.dtype),
            _pandas_key(obj.index, depth),
            _array_key(np.asarray(obj.to_numpy())),
        )
    if isinstance(obj, pd.Index):
        return (
            "Index",
            type(obj).__name__,
            tuple(map(repr, obj.names)),
            str(obj.dtype),
            _array_key(np.asarray(obj.to_numpy())),
        )
    return ("object", type(obj), id(obj))


class _Untouched:
    """Swaps the package's public callables for checking wrappers, and back."""

    def __init__(self):
        self.state = threading.local()
        self.violations = []
        self.wrappers = {}  # id(original) -> wrapper
        self.originals = []  # keeps the originals alive while their ids are keys
        self.slots = []  # (namespace object, attribute name, original, wrapper)

    def wrap(self, fn, skip):
        if id(fn) in self.wrappers:
            return self.wrappers[id(fn)]
        state, violations = self.state, self.violations

        @functools.wraps(fn)
        def checked(*args, **kwargs):
            if getattr(state, "busy", False):
                return fn(*args, **kwargs)
            shown = args[skip:]
            before = [_key(a) for a in shown], {k: _key(v) for k, v in kwargs.items()}
            state.busy = True
            try:
                return fn(*args, **kwargs)
            finally:
                state.busy = False
                after = [_key(a) for a in shown], {k: _key(v) for k, v in kwargs.items()}
                if after != before:
                    changed = [
                        f"argument {i + skip}"
                        for i, (b, a) in enumerate(zip(before[0], after[0], strict=True))
                        if a != b
                    ]
                    changed += [f"argument {k}=" for k in kwargs if after[1][k] != before[1][k]]
                    violations.append(f"{fn.__module__}.{fn.__qualname__} modified its {', '.join(changed)}")

        # Introspection of defaults sees the original's (the wrapper's own code takes *args, **kwargs only).
        checked.__defaults__ = getattr(fn, "__defaults__", None)
        checked.__kwdefaults__ = getattr(fn, "__kwdefaults__", None)
        self.wrappers[id(fn)] = checked
        self.originals.append(fn)
        return checked

    def discover(self):
        classes = {}
        for name in SUBPACKAGES:
            package = importlib.import_module(name)
            for public in package.__all__:
                obj = getattr(package, public)
                if isinstance(obj, type):
                    for base in obj.__mro__:
                        if base.__module__.startswith("duv."):
                            classes[id(base)] = base
                elif callable(obj):
                    self.wrap(obj, 0)
        for cls in classes.values():
            for name, attr in list(vars(cls).items()):
                if name.startswith("_") and name != "__init__":
                    continue
                if isinstance(attr, types.FunctionType):
                    self.slots.append((cls, name, attr, self.wrap(attr, 1)))
                elif isinstance(attr, (staticmethod, classmethod)):
                    skip = int(isinstance(attr, classmethod))
                    self.slots.append((cls, name, attr, type(attr)(self.wrap(attr.__func__, skip))))
        # Every module of the package holding a public function: the packages, the defining modules, importers.
        for modname, module in list(sys.modules.items()):
            if modname.startswith("duv.") and module is not None:
                for name, value in list(vars(module).items()):
                    if id(value) in self.wrappers and value is not self.wrappers[id(value)]:
                        self.slots.append((module, name, value, self.wrappers[id(value)]))

    def patch_namespace(self, namespace):
        """Wrapped versions of the originals a test module imported; returns what to put back."""
        swapped = {k: v for k, v in namespace.items() if id(v) in self.wrappers and self.wrappers[id(v)] is not v}
        namespace.update({k: self.wrappers[id(v)] for k, v in swapped.items()})
        return swapped


_untouched = _Untouched()


@pytest.fixture(autouse=True)
def untouched_inputs(request):
    if request.module.__name__.rpartition(".")[2] in RAW_OBJECT_MODULES:
        yield
        return
    u = _untouched
    if not u.slots:
        u.discover()
    for owner, name, _, wrapper in u.slots:
        setattr(owner, name, wrapper)
    restored = u.patch_namespace(request.module.__dict__)
    del u.violations[:]
    try:
        yield
    finally:
        request.module.__dict__.update(restored)
        for owner, name, original, _ in u.slots:
            setattr(owner, name, original)
    if u.violations:
        found, u.violations[:] = sorted(set(u.violations)), []
        pytest.fail("the caller's inputs changed:\n" + "\n".join(found), pytrace=False)


@pytest.hookimpl(wrapper=True)
def pytest_pyfunc_call(pyfuncitem):
    # Parameters holding an original callable (collected before the wrappers existed) get the wrapper.
    swapped = {}
    if _untouched.slots and pyfuncitem.module.__name__.rpartition(".")[2] not in RAW_OBJECT_MODULES:
        swapped = _untouched.patch_namespace(pyfuncitem.funcargs)
    try:
        return (yield)
    finally:
        pyfuncitem.funcargs.update(swapped)
