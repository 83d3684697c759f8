import inspect
import pickle

import numpy as np
import pytest
from sklearn.base import clone
from sklearn.model_selection import GridSearchCV
from sklearn.neural_network import MLPClassifier, MLPRegressor

import duv.neural_network
import duv.neural_network._linear_scaling_mlp as module
from duv.neural_network import LinearScalingMLPClassifier, LinearScalingMLPRegressor

sizes = module._compute_linear_scaled_hidden_sizes
pytestmark = pytest.mark.filterwarnings("ignore::sklearn.exceptions.ConvergenceWarning")


@pytest.mark.parametrize(
    "args, expected",
    [
        ((1, 100, 1.0, 7), (100,)),
        ((3, 100, 1.0, 1), (100, 50, 1)),  # 50.5 rounds to the even 50
        ((3, 100, 0.5, 1), (100, 75, 50)),
        ((4, 64, 1.0, 10), (64, 46, 28, 10)),
        ((3, 10, 1.0, 1), (10, 6, 1)),  # 5.5 rounds to the even 6
        ((0, 10, 1.0, 1), ()),
        ((3, 10, 0.0, 1), (10, 10, 10)),
        ((3, 4, 2.0, 1), (4, 1, 1)),  # extrapolation, at least 1
        ((2, 5, -1.0, 9), (5, 1)),
    ],
)
def test_sizes(args, expected):
    got = sizes(*args)
    assert got == expected and type(got) is tuple
    assert all(isinstance(v, np.integer) for v in got)


def test_sizes_fail_inside_numpy():
    with pytest.raises(ValueError):
        sizes(-1, 10, 1.0, 1)
    assert str(inspect.signature(sizes)) == (
        "(n_hidden_layers: int, hidden_layer_width: int, shrink_factor: float, n_outputs: int)"
    )


PARAMETERS = [
    "n_hidden_layers",
    "hidden_layer_width",
    "shrink_factor",
    "loss",
    "activation",
    "solver",
    "alpha",
    "batch_size",
    "learning_rate",
    "learning_rate_init",
    "power_t",
    "max_iter",
    "shuffle",
    "random_state",
    "tol",
    "verbose",
    "warm_start",
    "momentum",
    "nesterovs_momentum",
    "early_stopping",
    "validation_fraction",
    "beta_1",
    "beta_2",
    "epsilon",
    "n_iter_no_change",
    "max_fun",
    "store_training_data",
]


@pytest.mark.parametrize(
    "cls, base, names",
    [
        (LinearScalingMLPRegressor, MLPRegressor, PARAMETERS),
        (LinearScalingMLPClassifier, MLPClassifier, [p for p in PARAMETERS if p != "loss"]),
    ],
)
def test_construction(cls, base, names):
    assert cls.__bases__ == (base,) and cls.__module__ == "duv.neural_network._linear_scaling_mlp"
    sig = inspect.signature(cls)
    assert list(sig.parameters) == names
    assert [p.kind for p in sig.parameters.values()][:4] == [inspect.Parameter.POSITIONAL_OR_KEYWORD] * 3 + [
        inspect.Parameter.KEYWORD_ONLY
    ]
    base_defaults = inspect.signature(base).parameters
    for name in names[3:-1]:
        assert sig.parameters[name].default == base_defaults[name].default, name
    assert (
        sig.parameters["n_hidden_layers"].default,
        sig.parameters["hidden_layer_width"].default,
        sig.parameters["shrink_factor"].default,
        sig.parameters["store_training_data"].default,
    ) == (1, 100, 1.0, False)
    est = cls(2, 30, 0.5, alpha=0.5)
    stored = list(vars(est))
    assert stored == names[:3] + ["loss", "hidden_layer_sizes"] + names[3 + (cls is LinearScalingMLPRegressor) :]
    assert est.hidden_layer_sizes == (30,)
    assert est.loss == ("squared_error" if base is MLPRegressor else "log_loss")
    assert list(est.get_params()) == sorted(names)
    assert "_parameter_constraints" not in vars(cls)
    with pytest.raises(TypeError):
        cls(1, 10, 1.0, "relu")


def test_module_namespace():
    names = [n for n in vars(module) if not n.startswith("__")]
    assert names == [
        "np",
        "MLPClassifier",
        "MLPRegressor",
        "_compute_linear_scaled_hidden_sizes",
        "LinearScalingMLPRegressor",
        "LinearScalingMLPClassifier",
    ]
    assert duv.neural_network.__all__ == ["LinearScalingMLPRegressor", "LinearScalingMLPClassifier"]


@pytest.fixture
def data():
    rng = np.random.RandomState(0)
    X = rng.rand(60, 4)
    return X, X @ [1.0, -2.0, 3.0, 0.5]


@pytest.mark.parametrize("target, expected", [("one", (12, 6, 1)), ("column", (12, 6, 1)), ("two", (12, 7, 2))])
def test_regressor_sizes_follow_the_outputs(data, target, expected):
    X, y = data
    Y = {"one": y, "column": y[:, None], "two": np.c_[y, -y]}[target]
    r = LinearScalingMLPRegressor(3, 12, max_iter=20, random_state=0)
    if target == "column":
        with pytest.warns(Warning):
            r.fit(X, Y)
    else:
        r.fit(X, Y)
    assert r.hidden_layer_sizes == expected and r.hidden_layer_sizes_ is r.hidden_layer_sizes
    assert [c.shape[1] for c in r.coefs_[:-1]] == list(expected)


@pytest.mark.parametrize("target, expected", [("binary", (12, 6, 1)), ("three", (12, 8, 3)), ("indicator", (12, 7, 2))])
def test_classifier_sizes_follow_the_classes(data, target, expected):
    X, y = data
    Y = {
        "binary": (y > 1).astype(int),
        "three": np.digitize(y, [0.5, 1.5]),
        "indicator": np.c_[y > 1, y < 0.5].astype(int),
    }[target]
    c = LinearScalingMLPClassifier(3, 12, max_iter=20, random_state=0).fit(X, Y)
    assert c.hidden_layer_sizes_ == expected


def test_same_network_as_the_base_class(data):
    X, y = data
    ours = LinearScalingMLPRegressor(3, 16, 0.5, max_iter=50, random_state=3).fit(X, y)
    theirs = MLPRegressor(hidden_layer_sizes=ours.hidden_layer_sizes_, max_iter=50, random_state=3).fit(X, y)
    np.testing.assert_array_equal(ours.predict(X), theirs.predict(X))
    labels = (y > 1).astype(int)
    ours = LinearScalingMLPClassifier(2, 9, max_iter=50, random_state=3).fit(X, labels)
    theirs = MLPClassifier(hidden_layer_sizes=(9, 1), max_iter=50, random_state=3).fit(X, labels)
    np.testing.assert_array_equal(ours.predict_proba(X), theirs.predict_proba(X))
    np.testing.assert_array_equal(pickle.loads(pickle.dumps(ours)).predict_proba(X), ours.predict_proba(X))


def test_refit_recomputes_and_partial_fit_does_not(data):
    X, y = data
    r = LinearScalingMLPRegressor(2, 10, max_iter=20, random_state=0).fit(X, y)
    assert r.hidden_layer_sizes_ == (10, 1)
    r.set_params(n_hidden_layers=3, shrink_factor=0.0).fit(X, y)
    assert r.hidden_layer_sizes_ == (10, 10, 10)
    r.partial_fit(X, np.c_[y, y][:, 0])
    assert r.hidden_layer_sizes_ == (10, 10, 10)
    grid = GridSearchCV(LinearScalingMLPRegressor(max_iter=20, random_state=0), {"n_hidden_layers": [1, 2]}, cv=2)
    assert grid.fit(X, y).best_estimator_.hidden_layer_sizes_ in [(100,), (100, 1)]
    assert clone(r).get_params() == r.get_params()


def test_training_data_is_kept_by_reference(data):
    X, y = data
    r = LinearScalingMLPRegressor(1, 5, max_iter=5).fit(X, y)
    assert not hasattr(r, "X_train_") and not hasattr(r, "y_train_")
    r = LinearScalingMLPRegressor(1, 5, max_iter=5, store_training_data=True).fit(X.tolist(), list(y))
    assert isinstance(r.X_train_, np.ndarray) and isinstance(r.y_train_, np.ndarray)
    np.testing.assert_array_equal(r.X_train_, X)
    Xl, yl = X.tolist(), [int(v > 1) for v in y]
    c = LinearScalingMLPClassifier(1, 5, max_iter=5, store_training_data=True).fit(Xl, yl)
    assert c.X_train_ is Xl and c.y_train_ is yl


@pytest.mark.parametrize("solver", ["lbfgs", "adam"])
@pytest.mark.parametrize(
    "change, old, new",
    [
        ({"n_hidden_layers": 2}, "(10, 6, 1) and 1", "(10, 1) and 1"),
        ({"hidden_layer_width": 8}, "(10, 6, 1) and 1", "(8, 4, 1) and 1"),
        ({"shrink_factor": 0.0}, "(10, 6, 1) and 1", "(10, 10, 10) and 1"),
        ("two outputs", "(10, 6, 1) and 1", "(10, 6, 2) and 2"),
    ],
)
def test_warm_start_refuses_another_shape(data, solver, change, old, new):
    X, y = data
    r = LinearScalingMLPRegressor(3, 10, solver=solver, max_iter=20, random_state=0, warm_start=True).fit(X, y)
    coefs = [c.copy() for c in r.coefs_]
    target = np.c_[y, y] if change == "two outputs" else y
    if change != "two outputs":
        r.set_params(**change)
    message = (
        f"warm_start cannot continue a network with hidden layer sizes {old} outputs as one with hidden "
        f"layer sizes {new} outputs; set warm_start=False to train a new network"
    )
    with pytest.raises(ValueError) as e:
        r.fit(X, target)
    assert str(e.value) == message
    assert r.hidden_layer_sizes_ == (10, 6, 1)
    assert all(np.array_equal(a, b) for a, b in zip(coefs, r.coefs_, strict=True))
    r.set_params(warm_start=False).fit(X, target)  # a new network is fine


def test_warm_start_with_the_same_shape_continues(data):
    X, y = data
    r = LinearScalingMLPRegressor(2, 10, max_iter=5, random_state=0, warm_start=True).fit(X, y)
    first = [c.copy() for c in r.coefs_]
    r.fit(X, y)
    fresh = LinearScalingMLPRegressor(2, 10, max_iter=5, random_state=0).fit(X, y)
    assert not all(np.array_equal(a, b) for a, b in zip(first, r.coefs_, strict=True))
    assert not np.array_equal(r.predict(X), fresh.predict(X))
    labels = np.digitize(y, [0.5, 1.5])
    c = LinearScalingMLPClassifier(2, 10, 0.0, max_iter=5, warm_start=True, random_state=0).fit(X, labels)
    with pytest.raises(ValueError, match="warm_start can only be used where `y` has the same classes"):
        c.fit(X, (labels > 0).astype(int))  # the base class's own check for a change of classes
    with pytest.raises(ValueError, match=r"^warm_start cannot continue a network with hidden layer sizes \(10, 10\)"):
        c.set_params(hidden_layer_width=9).fit(X, labels)
