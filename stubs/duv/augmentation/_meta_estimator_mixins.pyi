"""The mixin that gives every augmented meta-estimator ``unwrap``."""

from typing import Any

class UnwrapMetaEstimatorMixin:
    """Gives a fitted meta-estimator ``unwrap()``, which returns the estimator fitted inside it."""

    _unwrappable: bool
    """``True``; a subclass or an instance sets it to a false value to forbid unwrapping."""

    def unwrap(self, deep: bool = True) -> Any:
        """Return the fitted inner estimator ``estimator_`` (the object itself, not a copy).

        Use it to reach the fitted model itself, for example its ``coef_``, after the meta-estimator has
        trained it on augmented data.

        Args:
            deep: What to return when meta-estimators are nested. ``True`` (default): if the inner estimator
                is itself unwrappable (its ``_unwrappable`` is the object ``True``), return
                ``estimator_.unwrap(deep=True)``, so that
                ``GaussianAugmentedRegressor(SMOTEAugmentedRegressor(Ridge()))`` unwraps to the fitted
                ``Ridge``. ``False``: return ``estimator_`` itself, here the fitted
                ``SMOTEAugmentedRegressor``.

        Returns:
            The fitted inner estimator.

        Raises:
            NotFittedError: The meta-estimator is not fitted.
            ValueError: ``_unwrappable`` is false ("<class name> is not unwrappable").
            AttributeError: There is no ``estimator_`` ("<class name> has no fitted estimator to unwrap").
        """
