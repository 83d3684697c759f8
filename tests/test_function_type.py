"""The callable type behind every public function and method."""

import inspect
import pickle
import typing

import pytest
from sklearn.linear_model import Ridge

from duv.augmentation import ResampleAugmentedRegressor, UnwrapMetaEstimatorMixin, resample_augment
from duv.metrics import _balanced_scorer

P = inspect.Parameter
raw_resample = resample_augment.__wrapped__  # the function under scikit-learn's validation wrapper
balanced_score = _balanced_scorer._balanced_score


def test_signature_kinds_defaults_and_annotations():
    sig = inspect.signature(resample_augment)
    assert [(p.name, p.kind, p.default, p.annotation) for p in sig.parameters.values()] == [
        ("X", P.POSITIONAL_OR_KEYWORD, P.empty, P.empty),
        ("y", P.POSITIONAL_OR_KEYWORD, P.empty, P.empty),
        ("factor", P.KEYWORD_ONLY, 10.0, float),
        ("shuffle", P.KEYWORD_ONLY, True, bool),
        ("random_state", P.KEYWORD_ONLY, None, P.empty),
        ("sample_weight", P.KEYWORD_ONLY, None, P.empty),
        ("sample_weight_mode", P.KEYWORD_ONLY, "passthrough", str),
    ]
    assert sig.return_annotation is P.empty
    assert raw_resample.__annotations__ == {"factor": float, "shuffle": bool, "sample_weight_mode": str}
    assert raw_resample.__kwdefaults__["factor"] == 10.0 and raw_resample.__defaults__ is None
    # The validation wrapper exposes the same annotations as a decorated Python function would.
    assert typing.get_type_hints(resample_augment) == typing.get_type_hints(_resample_augment)


def test_names_doc_and_attributes():
    for f, qualname in [
        (raw_resample, "resample_augment"),
        (resample_augment, "resample_augment"),
        (ResampleAugmentedRegressor.fit, "ResampleAugmentedRegressor.fit"),
        (UnwrapMetaEstimatorMixin.unwrap, "UnwrapMetaEstimatorMixin.unwrap"),
    ]:
        assert f.__qualname__ == qualname
        assert f.__name__ == qualname.rpartition(".")[2]
        assert f.__doc__ is None
    assert raw_resample.__module__ == "duv.augmentation._resample_augmentation"
    assert UnwrapMetaEstimatorMixin.unwrap.__module__ == "duv.augmentation._meta_estimator_mixins"
    # scikit-learn's validate_params stores its constraints on the wrapped function.
    assert set(raw_resample._skl_parameter_constraints) == {"X", "y", "factor", "shuffle", "random_state"}
    f = ResampleAugmentedRegressor.predict
    f.custom = 3
    assert f.custom == 3 and f.__dict__["custom"] == 3
    del f.custom
    assert repr(f).startswith("<function ResampleAugmentedRegressor.predict at 0x")


def test_binds_as_method():
    est = ResampleAugmentedRegressor(Ridge())
    bound = est.predict
    assert bound.__self__ is est and bound.__func__ is ResampleAugmentedRegressor.predict
    assert list(inspect.signature(bound).parameters) == ["X"]
    assert list(inspect.signature(ResampleAugmentedRegressor.__init__).parameters)[:2] == ["self", "estimator"]
    assert (
        ResampleAugmentedRegressor.__dict__["predict"].__get__(None, ResampleAugmentedRegressor)
        is ResampleAugmentedRegressor.predict
    )


def test_pickles_by_reference():
    assert pickle.loads(pickle.dumps(resample_augment)) is resample_augment
    assert pickle.loads(pickle.dumps(ResampleAugmentedRegressor.fit)) is ResampleAugmentedRegressor.fit


# Python functions with the same signatures: the interpreter's own messages are the reference.
def _resample_augment(
    X,
    y,
    *,
    factor: float = 10.0,
    shuffle: bool = True,
    random_state=None,
    sample_weight=None,
    sample_weight_mode: str = "passthrough",
):
    pass


_resample_augment.__qualname__ = "resample_augment"


class ResampleAugmentedRegressor_:
    def __init__(
        self,
        estimator,
        factor=10.0,
        shuffle=True,
        random_state=None,
        sample_weight_mode="passthrough",
        store_augmented=False,
    ):
        pass


ResampleAugmentedRegressor_.__init__.__qualname__ = "ResampleAugmentedRegressor.__init__"

BAD_CALLS = [
    ((), {}),
    ((1,), {}),
    ((1, 2, 3), {}),
    ((1, 2, 3, 4), {"factor": 1}),
    ((1,), {"X": 2}),
    ((1, 2), {"factr": 2.0}),
    ((1, 2), {"zzz": 2.0}),
    ((1, 2), {"shufle": True}),
    ((), {"y": 1}),
]


@pytest.mark.parametrize("args, kwargs", BAD_CALLS)
def test_type_errors_match_the_interpreter(args, kwargs):
    with pytest.raises(TypeError) as expected:
        _resample_augment(*args, **kwargs)
    with pytest.raises(TypeError) as got:
        raw_resample(*args, **kwargs)
    assert str(got.value) == str(expected.value)


def _balanced_score(
    score_func,
    response_method,
    sign,
    columns,
    balance_strength,
    normalize_weights,
    kwargs,
    /,
    estimator,
    X,
    y_true,
    **score_kwargs,
):
    pass


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((1, 2), {"score_func": 1}),
        (tuple(range(9)), {"X": 1}),
        (tuple(range(11)), {}),
        (tuple(range(10)), {"y_true": 1}),
    ],
)
def test_positional_only_type_errors_match_the_interpreter(args, kwargs):
    with pytest.raises(TypeError) as expected:
        _balanced_score(*args, **kwargs)
    with pytest.raises(TypeError) as got:
        balanced_score(*args, **kwargs)
    assert str(got.value) == str(expected.value)


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((1, 2, 3, 4, 5, 6, 7), {}),
        ((1,), {"estimator": 1}),
        ((1,), {"factors": 1}),
        ((1, 2, 3, 4, 5, 6, 7, 8), {}),
    ],
)
def test_method_type_errors_match_the_interpreter(args, kwargs):
    with pytest.raises(TypeError) as expected:
        ResampleAugmentedRegressor_(*args, **kwargs)
    with pytest.raises(TypeError) as got:
        ResampleAugmentedRegressor(*args, **kwargs)
    assert str(got.value) == str(expected.value)


def test_counts_as_a_python_function():
    import types

    f = ResampleAugmentedRegressor.fit
    assert inspect.isfunction(f) and isinstance(f, types.FunctionType) and f.__class__ is types.FunctionType
    assert f.__globals__ is vars(inspect.getmodule(ResampleAugmentedRegressor))


def test_metadata_requests_come_from_the_signatures():
    import sklearn

    with sklearn.config_context(enable_metadata_routing=True):
        model = ResampleAugmentedRegressor(Ridge()).set_fit_request(sample_weight=True)
        routing = model.get_metadata_routing()
        assert routing.fit.requests == {"sample_weight": True}
        assert routing.score.requests == {"sample_weight": None}
