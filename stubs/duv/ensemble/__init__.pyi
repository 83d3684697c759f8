"""Ensemble regressors that report an uncertainty with their predictions."""

from ._mixture_of_experts import MixtureOfExpertsRegressor
from ._voting import VotingRegressor

__all__ = ["VotingRegressor", "MixtureOfExpertsRegressor"]
