"""Estimators, metrics and data-augmentation meta-estimators for scikit-learn, implemented in C++.

``import duv`` binds only ``__version__`` and imports neither NumPy nor scikit-learn. The API lives in the
subpackages: ``duv.augmentation``, ``duv.ensemble``, ``duv.metrics``, ``duv.neural_network`` and
``duv.preprocessing``.
"""

from ._version import __version__ as __version__
