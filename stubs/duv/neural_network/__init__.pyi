"""Multi-layer perceptrons whose hidden-layer widths taper linearly towards the number of outputs."""

from ._linear_scaling_mlp import LinearScalingMLPClassifier, LinearScalingMLPRegressor

__all__ = ["LinearScalingMLPRegressor", "LinearScalingMLPClassifier"]
