"""Multi-layer perceptrons whose hidden-layer widths follow a linear taper."""

from typing import Any, Literal, Self, TypeAlias

import numpy as np
from numpy.typing import ArrayLike
from sklearn.neural_network import MLPClassifier, MLPRegressor

_RandomState: TypeAlias = int | np.random.RandomState | None
_Activation: TypeAlias = Literal["identity", "logistic", "tanh", "relu"]
_Solver: TypeAlias = Literal["lbfgs", "sgd", "adam"]
_LearningRate: TypeAlias = Literal["constant", "invscaling", "adaptive"]

class LinearScalingMLPRegressor(MLPRegressor):
    """scikit-learn's ``MLPRegressor`` whose hidden-layer sizes are derived at fit time.

    Layer ``i`` of ``n_hidden_layers`` has ``round(W + s * (n_out - W) * i / (n_hidden_layers - 1))`` units
    (at least 1), ``W`` being ``hidden_layer_width``, ``s`` the ``shrink_factor`` and ``n_out`` the
    number of targets.
    """

    # Constructor parameters, stored unchanged.
    n_hidden_layers: int
    hidden_layer_width: int
    shrink_factor: float
    loss: str
    activation: _Activation
    solver: _Solver
    alpha: float
    batch_size: int | Literal["auto"]
    learning_rate: _LearningRate
    learning_rate_init: float
    power_t: float
    max_iter: int
    shuffle: bool
    random_state: _RandomState
    tol: float
    verbose: bool
    warm_start: bool
    momentum: float
    nesterovs_momentum: bool
    early_stopping: bool
    validation_fraction: float
    beta_1: float
    beta_2: float
    epsilon: float
    n_iter_no_change: int
    max_fun: int
    store_training_data: bool

    hidden_layer_sizes: tuple[int | np.integer[Any], ...]
    """``(hidden_layer_width,)`` after construction; the computed layer widths after ``fit``."""
    hidden_layer_sizes_: tuple[np.integer[Any], ...]
    """The layer widths computed by the last ``fit``."""
    X_train_: Any
    """The validated training features, by reference (only with ``store_training_data``)."""
    y_train_: Any
    """The training targets, by reference (only with ``store_training_data``)."""

    def __init__(
        self,
        n_hidden_layers: int = 1,
        hidden_layer_width: int = 100,
        shrink_factor: float = 1.0,
        *,
        loss: str = "squared_error",
        activation: _Activation = "relu",
        solver: _Solver = "adam",
        alpha: float = 0.0001,
        batch_size: int | Literal["auto"] = "auto",
        learning_rate: _LearningRate = "constant",
        learning_rate_init: float = 0.001,
        power_t: float = 0.5,
        max_iter: int = 200,
        shuffle: bool = True,
        random_state: _RandomState = None,
        tol: float = 0.0001,
        verbose: bool = False,
        warm_start: bool = False,
        momentum: float = 0.9,
        nesterovs_momentum: bool = True,
        early_stopping: bool = False,
        validation_fraction: float = 0.1,
        beta_1: float = 0.9,
        beta_2: float = 0.999,
        epsilon: float = 1e-08,
        n_iter_no_change: int = 10,
        max_fun: int = 15000,
        store_training_data: bool = False,
    ) -> None:
        """Store the parameters unchanged, and ``hidden_layer_sizes = (hidden_layer_width,)``.

        Args:
            n_hidden_layers: Number of hidden layers.
            hidden_layer_width: Width of the first hidden layer.
            shrink_factor: 0 gives equal widths, 1 a full linear taper down to the output count; other values
                extrapolate.
            store_training_data: Keep references to the training data as ``X_train_`` and ``y_train_``.

        Other Parameters:
            loss, activation, solver, alpha, batch_size, learning_rate, learning_rate_init, power_t, max_iter,
            shuffle, random_state, tol, verbose, warm_start, momentum, nesterovs_momentum, early_stopping,
            validation_fraction, beta_1, beta_2, epsilon, n_iter_no_change, max_fun: As in ``MLPRegressor``.
        """

    def fit(self, X: ArrayLike, y: ArrayLike, *args: Any, **kwargs: Any) -> Self:
        """Compute the hidden-layer sizes for the target of ``y``, then fit as ``MLPRegressor`` does.

        Args:
            X: Training features.
            y: Targets, 1-D or 2-D.
            *args: Passed on to ``MLPRegressor.fit``.
            **kwargs: Passed on to ``MLPRegressor.fit``.

        Returns:
            ``self``.

        Raises:
            ValueError: The errors of ``MLPRegressor`` for invalid parameters or input, or a ``warm_start`` that
                would continue a network whose layer sizes or output count differ from the computed ones.
        """

class LinearScalingMLPClassifier(MLPClassifier):
    """scikit-learn's ``MLPClassifier`` whose hidden-layer sizes are derived at fit time.

    Layer ``i`` of ``n_hidden_layers`` has ``round(W + s * (n_out - W) * i / (n_hidden_layers - 1))`` units
    (at least 1), ``W`` being ``hidden_layer_width``, ``s`` the ``shrink_factor`` and ``n_out`` the
    number of classes (one unit for a binary problem) or indicator columns.
    """

    # Constructor parameters, stored unchanged.
    n_hidden_layers: int
    hidden_layer_width: int
    shrink_factor: float
    activation: _Activation
    solver: _Solver
    alpha: float
    batch_size: int | Literal["auto"]
    learning_rate: _LearningRate
    learning_rate_init: float
    power_t: float
    max_iter: int
    shuffle: bool
    random_state: _RandomState
    tol: float
    verbose: bool
    warm_start: bool
    momentum: float
    nesterovs_momentum: bool
    early_stopping: bool
    validation_fraction: float
    beta_1: float
    beta_2: float
    epsilon: float
    n_iter_no_change: int
    max_fun: int
    store_training_data: bool
    loss: str
    """Always ``"log_loss"``, set by the constructor."""

    hidden_layer_sizes: tuple[int | np.integer[Any], ...]
    """``(hidden_layer_width,)`` after construction; the computed layer widths after ``fit``."""
    hidden_layer_sizes_: tuple[np.integer[Any], ...]
    """The layer widths computed by the last ``fit``."""
    X_train_: Any
    """The training features as passed to ``fit``, by reference (only with ``store_training_data``)."""
    y_train_: Any
    """The training targets, by reference (only with ``store_training_data``)."""

    def __init__(
        self,
        n_hidden_layers: int = 1,
        hidden_layer_width: int = 100,
        shrink_factor: float = 1.0,
        *,
        activation: _Activation = "relu",
        solver: _Solver = "adam",
        alpha: float = 0.0001,
        batch_size: int | Literal["auto"] = "auto",
        learning_rate: _LearningRate = "constant",
        learning_rate_init: float = 0.001,
        power_t: float = 0.5,
        max_iter: int = 200,
        shuffle: bool = True,
        random_state: _RandomState = None,
        tol: float = 0.0001,
        verbose: bool = False,
        warm_start: bool = False,
        momentum: float = 0.9,
        nesterovs_momentum: bool = True,
        early_stopping: bool = False,
        validation_fraction: float = 0.1,
        beta_1: float = 0.9,
        beta_2: float = 0.999,
        epsilon: float = 1e-08,
        n_iter_no_change: int = 10,
        max_fun: int = 15000,
        store_training_data: bool = False,
    ) -> None:
        """Store the parameters unchanged, and ``hidden_layer_sizes = (hidden_layer_width,)``.

        Args:
            n_hidden_layers: Number of hidden layers.
            hidden_layer_width: Width of the first hidden layer.
            shrink_factor: 0 gives equal widths, 1 a full linear taper down to the output count; other values
                extrapolate.
            store_training_data: Keep references to the training data as ``X_train_`` and ``y_train_``.

        Other Parameters:
            activation, solver, alpha, batch_size, learning_rate, learning_rate_init, power_t, max_iter, shuffle,
            random_state, tol, verbose, warm_start, momentum, nesterovs_momentum, early_stopping,
            validation_fraction, beta_1, beta_2, epsilon, n_iter_no_change, max_fun: As in ``MLPClassifier``.
        """

    def fit(self, X: ArrayLike, y: ArrayLike, *args: Any, **kwargs: Any) -> Self:
        """Compute the hidden-layer sizes for the target of ``y``, then fit as ``MLPClassifier`` does.

        Args:
            X: Training features.
            y: Class labels (1-D) or a label-indicator matrix.
            *args: Passed on to ``MLPClassifier.fit``.
            **kwargs: Passed on to ``MLPClassifier.fit``.

        Returns:
            ``self``.

        Raises:
            ValueError: The errors of ``MLPClassifier`` for invalid parameters or input, or a ``warm_start`` that
                would continue a network whose layer sizes or output count differ from the computed ones.
        """
