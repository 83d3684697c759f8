import numpy as np
import pytest
from sklearn.exceptions import NotFittedError
from sklearn.linear_model import Ridge

from duv.augmentation import ResampleAugmentedRegressor, UnwrapMetaEstimatorMixin

X = np.arange(12.0).reshape(6, 2)
y = X.sum(axis=1)


def test_mixin_shape():
    assert UnwrapMetaEstimatorMixin.__bases__ == (object,)
    assert UnwrapMetaEstimatorMixin._unwrappable is True
    assert "__init__" not in vars(UnwrapMetaEstimatorMixin)


def test_nested_unwrap():
    outer = ResampleAugmentedRegressor(ResampleAugmentedRegressor(Ridge(), factor=1.0), factor=1.0).fit(X, y)
    inner = outer.estimator_
    assert outer.unwrap() is inner.estimator_ and isinstance(outer.unwrap(), Ridge)
    assert outer.unwrap(deep=False) is inner
    inner._unwrappable = 1  # truthy but not True: no recursion
    assert outer.unwrap() is inner


def test_unwrap_errors():
    model = ResampleAugmentedRegressor(Ridge())
    model._unwrappable = False
    with pytest.raises(NotFittedError):
        model.unwrap()
    model.fit(X, y)
    with pytest.raises(ValueError, match=r"^ResampleAugmentedRegressor is not unwrappable$"):
        model.unwrap()

    class Elsewhere(ResampleAugmentedRegressor):
        def fit(self, X, y):
            self.model_ = Ridge().fit(X, y)
            return self

    with pytest.raises(AttributeError, match=r"^Elsewhere has no fitted estimator to unwrap$"):
        Elsewhere(Ridge()).fit(X, y).unwrap()
