"""Multi-layer perceptrons whose hidden-layer widths follow a linear taper."""

from abc import ABCMeta
from typing import Any, Literal, Self, TypeAlias

import numpy as np
from numpy.typing import ArrayLike
from sklearn.neural_network import MLPClassifier, MLPRegressor

_RandomState: TypeAlias = int | np.random.RandomState | None
_Activation: TypeAlias = Literal["identity", "logistic", "tanh", "relu"]
_Solver: TypeAlias = Literal["lbfgs", "sgd", "adam"]
_LearningRate: TypeAlias = Literal["constant", "invscaling", "adaptive"]
_Loss: TypeAlias = Literal["squared_error", "poisson"]

class LinearScalingMLPRegressor(MLPRegressor, metaclass=ABCMeta):
    """scikit-learn's ``MLPRegressor`` whose hidden-layer sizes are derived at fit time.

    Layer ``i`` of ``n_hidden_layers`` has ``round(W + s * (n_out - W) * i / (n_hidden_layers - 1))`` units
    (at least 1), ``W`` being ``hidden_layer_width``, ``s`` the ``shrink_factor`` and ``n_out`` the
    number of targets.
    """

    # Constructor parameters, stored unchanged.
    n_hidden_layers: int
    hidden_layer_width: int
    shrink_factor: float
    loss: _Loss
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
        loss: _Loss = "squared_error",
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
            n_hidden_layers: Number of hidden layers (0 gives a network without hidden layer).
            hidden_layer_width: Width of the first hidden layer.
            shrink_factor: How strongly the widths taper, from the first layer down towards the number of
                outputs: 0 gives ``n_hidden_layers`` layers of ``hidden_layer_width`` units, 1 (default) a full
                linear taper whose last layer has as many units as the network has outputs (a one-unit
                bottleneck for a single target: prefer a value below 1 there), 0.5 half of that taper; values
                outside [0, 1] extrapolate (widths stay at least 1).
            store_training_data: Keep references to the training data as ``X_train_`` and ``y_train_``.

        Other Parameters:
            loss: Loss minimised: ``"squared_error"`` (default) or ``"poisson"`` (scikit-learn 1.7 and later).
            activation: Activation of the hidden units: ``"relu"`` (default), ``"tanh"``, ``"logistic"`` or
                ``"identity"``.
            solver: Weight optimiser: ``"adam"`` (default; good on larger data), ``"sgd"``, or ``"lbfgs"``
                (often better on small data).
            alpha: Strength of the L2 penalty on the weights.
            batch_size: Minibatch size of ``"sgd"`` and ``"adam"``; ``"auto"`` means ``min(200, n_samples)``.
            learning_rate: Step-size schedule of ``"sgd"``: ``"constant"``, ``"invscaling"`` or
                ``"adaptive"``.
            learning_rate_init: Initial step size (``"sgd"`` and ``"adam"``).
            power_t: Exponent of the ``"invscaling"`` schedule.
            max_iter: Maximum number of epochs (iterations for ``"lbfgs"``).
            shuffle: Shuffle the samples in every epoch (``"sgd"`` and ``"adam"``).
            random_state: Seed of the weight initialisation, the shuffles and the validation split.
            tol: Improvement below which an epoch counts as no progress.
            verbose: Print the progress of training.
            warm_start: Continue from the weights of the previous ``fit``; the computed layer sizes and the
                output count must then be unchanged.
            momentum: Momentum of ``"sgd"``.
            nesterovs_momentum: Use Nesterov's momentum (``"sgd"``).
            early_stopping: Hold out ``validation_fraction`` of the data and stop when its score stops
                improving.
            validation_fraction: Share of the training data held out for ``early_stopping``.
            beta_1: Decay rate of the first-moment estimates of ``"adam"``.
            beta_2: Decay rate of the second-moment estimates of ``"adam"``.
            epsilon: Numerical-stability constant of ``"adam"``.
            n_iter_no_change: Epochs without ``tol`` improvement before training stops (``"sgd"``, ``"adam"``).
            max_fun: Maximum number of loss evaluations of ``"lbfgs"``.
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

    def set_fit_request(self) -> Self:
        """Generated by scikit-learn for metadata routing: ``fit`` names no metadata to request.

        ``sample_weight`` given to ``fit`` directly reaches the perceptron through ``**kwargs``; a meta-estimator
        routes nothing to it.

        Returns:
            ``self``, unchanged.

        Raises:
            RuntimeError: Metadata routing is not enabled.
        """

    def set_partial_fit_request(self, *, sample_weight: bool | str | None = "$UNCHANGED$") -> Self:
        """Choose which metadata a meta-estimator routes to ``partial_fit``: ``sample_weight``.

        Generated by scikit-learn, usable once ``sklearn.set_config(enable_metadata_routing=True)``. For each
        parameter: ``True`` passes the metadata when given, ``False`` never passes it, ``None`` (the initial
        request) makes the router raise an error when it is given, a string passes the metadata of that
        name instead, and ``"$UNCHANGED$"`` (the default) keeps the current request.

        Args:
            sample_weight: Whether a meta-estimator passes ``sample_weight`` on to ``partial_fit`` (see above).

        Returns:
            ``self``.

        Raises:
            RuntimeError: Metadata routing is not enabled.
        """

    def set_score_request(self, *, sample_weight: bool | str | None = "$UNCHANGED$") -> Self:
        """Choose which metadata a meta-estimator routes to ``score``: ``sample_weight``.

        Generated by scikit-learn, usable once ``sklearn.set_config(enable_metadata_routing=True)``. For each
        parameter: ``True`` passes the metadata when given, ``False`` never passes it, ``None`` (the initial
        request) makes the router raise an error when it is given, a string passes the metadata of that
        name instead, and ``"$UNCHANGED$"`` (the default) keeps the current request.

        Args:
            sample_weight: Whether a meta-estimator passes ``sample_weight`` on to ``score`` (see above).

        Returns:
            ``self``.

        Raises:
            RuntimeError: Metadata routing is not enabled.
        """

class LinearScalingMLPClassifier(MLPClassifier, metaclass=ABCMeta):
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
    loss: Literal["log_loss"]
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
            n_hidden_layers: Number of hidden layers (0 gives a network without hidden layer).
            hidden_layer_width: Width of the first hidden layer.
            shrink_factor: How strongly the widths taper, from the first layer down towards the number of
                outputs: 0 gives ``n_hidden_layers`` layers of ``hidden_layer_width`` units, 1 (default) a full
                linear taper whose last layer has as many units as the network has outputs (a one-unit
                bottleneck for two classes: prefer a value below 1 there), 0.5 half of that taper; values
                outside [0, 1] extrapolate (widths stay at least 1).
            store_training_data: Keep references to the training data as ``X_train_`` and ``y_train_``.

        Other Parameters:
            activation: Activation of the hidden units: ``"relu"`` (default), ``"tanh"``, ``"logistic"`` or
                ``"identity"``.
            solver: Weight optimiser: ``"adam"`` (default; good on larger data), ``"sgd"``, or ``"lbfgs"``
                (often better on small data).
            alpha: Strength of the L2 penalty on the weights.
            batch_size: Minibatch size of ``"sgd"`` and ``"adam"``; ``"auto"`` means ``min(200, n_samples)``.
            learning_rate: Step-size schedule of ``"sgd"``: ``"constant"``, ``"invscaling"`` or
                ``"adaptive"``.
            learning_rate_init: Initial step size (``"sgd"`` and ``"adam"``).
            power_t: Exponent of the ``"invscaling"`` schedule.
            max_iter: Maximum number of epochs (iterations for ``"lbfgs"``).
            shuffle: Shuffle the samples in every epoch (``"sgd"`` and ``"adam"``).
            random_state: Seed of the weight initialisation, the shuffles and the validation split.
            tol: Improvement below which an epoch counts as no progress.
            verbose: Print the progress of training.
            warm_start: Continue from the weights of the previous ``fit``; the computed layer sizes and the
                output count must then be unchanged.
            momentum: Momentum of ``"sgd"``.
            nesterovs_momentum: Use Nesterov's momentum (``"sgd"``).
            early_stopping: Hold out ``validation_fraction`` of the data and stop when its score stops
                improving.
            validation_fraction: Share of the training data held out for ``early_stopping``.
            beta_1: Decay rate of the first-moment estimates of ``"adam"``.
            beta_2: Decay rate of the second-moment estimates of ``"adam"``.
            epsilon: Numerical-stability constant of ``"adam"``.
            n_iter_no_change: Epochs without ``tol`` improvement before training stops (``"sgd"``, ``"adam"``).
            max_fun: Maximum number of loss evaluations of ``"lbfgs"``.
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

    def set_fit_request(self) -> Self:
        """Generated by scikit-learn for metadata routing: ``fit`` names no metadata to request.

        ``sample_weight`` given to ``fit`` directly reaches the perceptron through ``**kwargs``; a meta-estimator
        routes nothing to it.

        Returns:
            ``self``, unchanged.

        Raises:
            RuntimeError: Metadata routing is not enabled.
        """

    def set_partial_fit_request(
        self,
        *,
        classes: bool | str | None = "$UNCHANGED$",
        sample_weight: bool | str | None = "$UNCHANGED$",
    ) -> Self:
        """Choose which metadata a meta-estimator routes to ``partial_fit``: ``classes`` and ``sample_weight``.

        Generated by scikit-learn, usable once ``sklearn.set_config(enable_metadata_routing=True)``. For each
        parameter: ``True`` passes the metadata when given, ``False`` never passes it, ``None`` (the initial
        request) makes the router raise an error when it is given, a string passes the metadata of that
        name instead, and ``"$UNCHANGED$"`` (the default) keeps the current request.

        Args:
            classes: Whether a meta-estimator passes ``classes`` on to ``partial_fit`` (see above).
            sample_weight: Whether a meta-estimator passes ``sample_weight`` on to ``partial_fit`` (see above).

        Returns:
            ``self``.

        Raises:
            RuntimeError: Metadata routing is not enabled.
        """

    def set_score_request(self, *, sample_weight: bool | str | None = "$UNCHANGED$") -> Self:
        """Choose which metadata a meta-estimator routes to ``score``: ``sample_weight``.

        Generated by scikit-learn, usable once ``sklearn.set_config(enable_metadata_routing=True)``. For each
        parameter: ``True`` passes the metadata when given, ``False`` never passes it, ``None`` (the initial
        request) makes the router raise an error when it is given, a string passes the metadata of that
        name instead, and ``"$UNCHANGED$"`` (the default) keeps the current request.

        Args:
            sample_weight: Whether a meta-estimator passes ``sample_weight`` on to ``score`` (see above).

        Returns:
            ``self``.

        Raises:
            RuntimeError: Metadata routing is not enabled.
        """
