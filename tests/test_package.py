import importlib
import sys

import pytest

import duv
from conftest import project_version

VERSION = project_version()


def test_import_duv_alone_loads_no_dependencies(fresh_python):
    out = fresh_python(
        "import sys, duv\n"
        "print(duv.__version__, 'numpy' in sys.modules, 'sklearn' in sys.modules,"
        " hasattr(duv, 'augmentation'), hasattr(duv, '_version'))\n"
        "import duv.augmentation\n"
        "print(hasattr(duv, 'augmentation'), 'sklearn' in sys.modules)\n"
    )
    assert out.split("\n")[:2] == [f"{VERSION} False False False True", "True True"]


def test_version_record():
    v = importlib.import_module("duv._version")
    assert v.__all__ == ["__version__", "__version_tuple__", "version", "version_tuple", "__commit_id__", "commit_id"]
    assert v.__version__ == v.version == duv.__version__ == VERSION
    assert v.__version_tuple__ == v.version_tuple == tuple(int(part) for part in VERSION.split("."))
    assert v.commit_id == v.__commit_id__
    assert v.commit_id[0] == "g" and len(v.commit_id) == 10 and all(c in "0123456789abcdef" for c in v.commit_id[1:])
    assert v.TYPE_CHECKING is False and v.VERSION_TUPLE is object and v.COMMIT_ID is object
    assert v.__annotations__ == {
        "version": str,
        "__version__": str,
        "__version_tuple__": object,
        "version_tuple": object,
        "commit_id": object,
        "__commit_id__": object,
    }
    order = [
        "__all__",
        "TYPE_CHECKING",
        "VERSION_TUPLE",
        "COMMIT_ID",
        "__annotations__",
        "__version__",
        "version",
        "__version_tuple__",
        "version_tuple",
        "__commit_id__",
        "commit_id",
    ]
    assert [k for k in vars(v) if k in order] == order
    assert not hasattr(duv, "__all__")


PACKAGES = ["duv", "duv.augmentation", "duv.ensemble", "duv.metrics", "duv.neural_network", "duv.preprocessing"]
PRIVATE = ["duv._version", "duv.augmentation._meta_estimator_mixins", "duv.augmentation._resample_augmentation"]


@pytest.mark.parametrize("name", PACKAGES + PRIVATE)
def test_module_attributes(name):
    mod = importlib.import_module(name)
    assert mod.__name__ == name
    assert mod.__doc__ is None
    assert mod.__spec__.name == name
    assert mod.__file__ == duv.__file__
    if name in PACKAGES:
        assert mod.__package__ == name
        assert isinstance(mod.__path__, list)
    else:
        assert mod.__package__ == name.rpartition(".")[0]
        assert not hasattr(mod, "__path__")
    assert sys.modules[name] is mod
    assert importlib.import_module(name) is mod


def test_all_lists_keep_their_order():
    full = {
        "duv.augmentation": [
            "smote_augment",
            "gaussian_augment",
            "histogram_augment",
            "resample_augment",
            "category_balance_augment",
            "SMOTEAugmentedRegressor",
            "SMOTEAugmentedClassifier",
            "GaussianAugmentedRegressor",
            "GaussianAugmentedClassifier",
            "HistogramAugmentedRegressor",
            "HistogramAugmentedClassifier",
            "ResampleAugmentedRegressor",
            "ResampleAugmentedClassifier",
            "CategoryBalanceAugmentedRegressor",
            "CategoryBalanceAugmentedClassifier",
            "UnwrapMetaEstimatorMixin",
            "target_relevance",
            "rare_target_augment",
            "RareTargetAugmentedRegressor",
        ],
        "duv.ensemble": ["VotingRegressor", "MixtureOfExpertsRegressor"],
        "duv.metrics": [
            "mean_absolute_log_error",
            "mean_squared_log_error",
            "mean_absolute_percentage_log_error",
            "log_r2_score",
            "root_mean_squared_log_error",
            "mean_absolute_log10_error",
            "mean_squared_log10_error",
            "mean_absolute_percentage_log10_error",
            "log10_r2_score",
            "root_mean_squared_log10_error",
            "fraction_of_variance_unexplained",
            "log_fraction_of_variance_unexplained",
            "log10_fraction_of_variance_unexplained",
            "make_categorical_balanced_scorer",
        ],
        "duv.neural_network": ["LinearScalingMLPRegressor", "LinearScalingMLPClassifier"],
        "duv.preprocessing": ["LogarithmScaler"],
    }
    for name, names in full.items():
        mod = importlib.import_module(name)
        # Only what is built is listed, in the package's order.
        assert mod.__all__ == [n for n in names if hasattr(mod, n)]
    assert {"resample_augment", "ResampleAugmentedRegressor", "UnwrapMetaEstimatorMixin"} <= set(
        sys.modules["duv.augmentation"].__all__
    )


def test_star_import_binds_exactly_all(fresh_python):
    out = fresh_python(
        "before = set(globals())\n"
        "from duv.augmentation import *\n"
        "import duv.augmentation as a\n"
        "print(sorted(set(globals()) - before - {'before', 'a'}) == sorted(a.__all__))\n"
    )
    assert out.strip() == "True"


def test_modules_execute_once_and_keep_private_module(fresh_python):
    out = fresh_python(
        "import duv.augmentation._resample_augmentation as r\n"
        "import importlib, duv.augmentation as a\n"
        "print(a.ResampleAugmentedRegressor is r.ResampleAugmentedRegressor,"
        " a.ResampleAugmentedRegressor.__module__, r.resample_augment.__module__,"
        " importlib.import_module('duv.augmentation._resample_augmentation') is r)\n"
    )
    assert out.strip() == "True duv.augmentation._resample_augmentation duv.augmentation._resample_augmentation True"


def test_failing_import_is_removed_from_sys_modules(fresh_python):
    out = fresh_python(
        "import sys\n"
        "sys.modules['sklearn'] = None\n"
        "try:\n"
        "    import duv.augmentation\n"
        "except ImportError as e:\n"
        "    print(type(e).__name__)\n"
        "print([m for m in sys.modules if m.startswith('duv.')])\n"
    )
    assert out.split("\n")[:2] == ["ModuleNotFoundError", "['duv._version']"]


def test_unknown_submodule_is_not_found():
    with pytest.raises(ModuleNotFoundError):
        importlib.import_module("duv.augmentation._no_such_module")


def test_missing_dependency_name_raises_the_interpreters_import_error(fresh_python):
    out = fresh_python(
        "import sys, sklearn.utils.validation as v\n"
        "del v.check_is_fitted\n"
        "msgs = []\n"
        "for stmt in ['from sklearn.utils.validation import check_is_fitted', 'import duv.augmentation']:\n"
        "    try:\n"
        "        exec(stmt)\n"
        "    except ImportError as e:\n"
        "        msgs.append((type(e).__name__, str(e), e.name, e.path))\n"
        "print(msgs[0] == msgs[1], 'duv.augmentation' in sys.modules)\n"
    )
    assert out.strip() == "True False"
