"""Feature transformers."""

from ._logarithm_scaler import LogarithmScaler

__all__ = ["LogarithmScaler"]
