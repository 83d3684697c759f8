"""The library as built: its file name and wheel tag, and the answers whose code differs between a build against
CPython's stable ABI (abi3, 3.12+) and a version-specific one, compared with the interpreter's own."""

import ctypes
import importlib.metadata
import os
import sys
import sysconfig
from pathlib import Path

import numpy as np
import pytest
from sklearn.linear_model import BayesianRidge
from sklearn.metrics import mean_absolute_error

import duv
from duv.augmentation import resample_augment
from duv.ensemble import MixtureOfExpertsRegressor
from duv.metrics import make_categorical_balanced_scorer


def _wheel_tag():
    """The tag of the installed distribution that provides this library, or None for a developer build."""
    try:
        dist = importlib.metadata.distribution("duv")
    except importlib.metadata.PackageNotFoundError:
        return None
    lib = Path(duv.__file__)
    if Path(dist.locate_file(f"duv/{lib.name}")).resolve() != lib.resolve():
        return None  # another install of duv than the one imported
    return [line[5:] for line in dist.read_text("WHEEL").splitlines() if line.startswith("Tag: ")]


def test_library_name_matches_its_abi_and_wheel_tag():
    name = Path(duv.__file__).name
    stable = name == "__init__.abi3.so"
    assert stable or name == "__init__" + sysconfig.get_config_var("EXT_SUFFIX")
    assert not stable or sys.version_info >= (3, 12)
    tags = _wheel_tag()
    if tags is None:
        pytest.skip("a developer build: no installed wheel")
    [tag] = tags
    python, abi, platform = tag.split("-")
    here = f"cp{sys.version_info.major}{sys.version_info.minor}"
    # One stable-ABI wheel serves every CPython from 3.12 on; 3.11 gets its own.
    if sys.version_info >= (3, 12):
        assert (python, abi, stable) == ("cp312", "abi3", True)
    else:
        assert (python, abi, stable) == (here, here, False)
    assert platform == sysconfig.get_platform().replace("-", "_").replace(".", "_")


def _interpreters_empty_code(filename, name):
    new_empty = ctypes.pythonapi.PyCode_NewEmpty
    new_empty.restype = ctypes.py_object
    new_empty.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int]
    return new_empty(os.fsencode(filename), name.encode(), 1)


CODE_OWNERS = [
    ("function", resample_augment.__wrapped__),
    ("method with **kwargs", MixtureOfExpertsRegressor.predict),
    ("positional-only parameters", make_categorical_balanced_scorer(mean_absolute_error, columns=[0]).func),
]


@pytest.mark.parametrize("fn", [fn for _, fn in CODE_OWNERS], ids=[label for label, _ in CODE_OWNERS])
def test_code_is_the_interpreters_empty_code_with_the_parameters(fn):
    code = fn.__code__
    reference = _interpreters_empty_code(code.co_filename, code.co_name).replace(
        co_argcount=code.co_argcount,
        co_posonlyargcount=code.co_posonlyargcount,
        co_kwonlyargcount=code.co_kwonlyargcount,
        co_nlocals=code.co_nlocals,
        co_varnames=code.co_varnames,
        co_flags=code.co_flags,
        co_freevars=code.co_freevars,
        co_qualname=code.co_qualname,
    )
    assert code == reference
    assert (code.co_code, code.co_stacksize, code.co_consts, code.co_names) == (
        reference.co_code,
        reference.co_stacksize,
        reference.co_consts,
        reference.co_names,
    )
    assert list(code.co_positions()) == list(reference.co_positions())
    assert code.co_filename == duv.__file__


class Opaque:
    pass


# Values a routing hook may wrongly return instead of a (prediction, std) pair.
NOT_PAIRS = [
    ("tuple of 3", lambda: (1, 2, 3)),
    ("list of 3", lambda: [1, 2, 3]),
    ("dict of 3", lambda: dict.fromkeys("abc")),
    ("iterator of 3", lambda: iter((1, 2, 3))),
    ("tuple of 1", lambda: (1,)),
    ("int", lambda: 5),
    ("None", lambda: None),
    ("numpy scalar", lambda: np.float64(1.0)),
    ("instance", lambda: Opaque()),
]


@pytest.mark.parametrize("make", [m for _, m in NOT_PAIRS], ids=[label for label, _ in NOT_PAIRS])
def test_unpacking_errors_match_the_interpreter(make):
    class Routed(MixtureOfExpertsRegressor):
        def _route_confidence(self, X, **kwargs):
            return make()

    model = Routed(BayesianRidge())
    model.estimators_ = []
    with pytest.raises((TypeError, ValueError)) as expected:
        _, _ = make()
    with pytest.raises(type(expected.value)) as got:
        model.predict(np.zeros((2, 1)))
    assert str(got.value) == str(expected.value)
