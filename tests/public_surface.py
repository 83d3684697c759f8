"""The package's public callables, read from the subpackages' __all__.

Shared by the robustness tests (fuzzing, leaks, threads), which must each cover every name listed here.
"""

import importlib
import inspect
import os

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def subpackages():
    """Every public subpackage: the stub tree has one directory per subpackage."""
    stubs = os.path.join(ROOT, "stubs", "duv")
    return sorted(
        d for d in os.listdir(stubs) if not d.startswith("_") and os.path.isfile(os.path.join(stubs, d, "__init__.pyi"))
    )


def public_objects():
    """(subpackage, name, object) for every name in every subpackage's __all__."""
    out = []
    for sub in subpackages():
        mod = importlib.import_module(f"duv.{sub}")
        out.extend((sub, name, getattr(mod, name)) for name in mod.__all__)
    return out


def own_members(cls):
    """Public methods and properties of `cls` that the package itself defines (inherited ones included),
    plus the constructor when the package defines it."""
    names = []
    for attr in dir(cls):
        if attr.startswith("_") and attr != "__init__":
            continue
        owner = next((k for k in cls.__mro__ if attr in vars(k)), None)
        if owner is None or not owner.__module__.startswith("duv."):
            continue
        value = inspect.getattr_static(cls, attr)
        if callable(value) or isinstance(value, property):
            names.append(attr)
    return names


def public_callables():
    """Dotted keys: 'fn' for a function, 'Class.member' for each of a class's own public members."""
    keys = set()
    for _, name, obj in public_objects():
        if isinstance(obj, type):
            keys.update(f"{name}.{m}" for m in own_members(obj))
        elif callable(obj):
            keys.add(name)
    return keys
