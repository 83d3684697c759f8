"""The mixin that gives every augmented meta-estimator ``unwrap``."""

from typing import Any

class UnwrapMetaEstimatorMixin:
    """Gives a fitted meta-estimator ``unwrap()``, which returns the estimator fitted inside it."""

    _unwrappable: bool
    """``True``; a subclass or an instance sets it to a false value to forbid unwrapping."""

    def unwrap(self, deep: bool = True) -> Any:
        """Return the fitted inner estimator ``estimator_`` (the object itself, not a copy).

        Args:
            deep: When the inner estimator is itself unwrappable (its ``_unwrappable`` is the object ``True``),
                return ``estimator_.unwrap(deep=True)`` instead: nested meta-estimators are peeled down to the
                first estimator that is not unwrappable.

        Returns:
            The fitted inner estimator.

        Raises:
            NotFittedError: The meta-estimator is not fitted.
            ValueError: ``_unwrappable`` is false ("<class name> is not unwrappable").
            AttributeError: There is no ``estimator_`` ("<class name> has no fitted estimator to unwrap").
        """
