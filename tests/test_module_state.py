"""Each module's state lives in the module object: visited with it, released with it, made again on import."""

import gc

import numpy as np

import duv.preprocessing._logarithm_scaler as scaler_module

FORGET_AND_IMPORT_AGAIN = """
import gc, sys, weakref
import numpy as np
import duv
from duv.preprocessing import LogarithmScaler

SUBPACKAGES = ["augmentation", "ensemble", "metrics", "neural_network", "preprocessing"]
for sub in SUBPACKAGES:
    __import__("duv." + sub)
X = np.abs(np.random.RandomState(0).randn(40000, 3))
before = LogarithmScaler(mode="log1p", eps=0.1).fit(X).transform(X)

names = sorted(n for n in sys.modules if n.startswith("duv.") and n != "duv._version")
refs = {n: weakref.ref(sys.modules[n]) for n in names}
for n in names:
    del sys.modules[n]
for sub in SUBPACKAGES:
    delattr(duv, sub)
del LogarithmScaler
gc.collect()
print("alive:", [n for n, r in refs.items() if r() is not None])

for sub in SUBPACKAGES:
    __import__("duv." + sub)
from duv.preprocessing import LogarithmScaler
after = LogarithmScaler(mode="log1p", eps=0.1).fit(X).transform(X)
print("same bits:", np.array_equal(before.view(np.uint64), after.view(np.uint64)))
"""


def test_modules_are_released_and_made_again(fresh_python):
    # Nothing outside a module holds its objects: once forgotten, every module is freed with its state, and a
    # new import makes new ones that compute the same bits.
    out = fresh_python(FORGET_AND_IMPORT_AGAIN).splitlines()
    assert out == ["alive: []", "same bits: True"]


def test_state_is_visited_with_its_module():
    referents = gc.get_referents(scaler_module)
    assert np.log1p in referents and np.ndarray in referents
    assert scaler_module.LogarithmScaler._forward in referents
