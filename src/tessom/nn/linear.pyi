"""Affine layer on numpy arrays with an explicit backward pass."""

import numpy as np
from numpy.typing import ArrayLike

class Linear:
    """Affine map on the last axis: Z = A @ W.T + b, W of shape (out_features, in_features)."""

    in_features: int
    out_features: int
    W: np.ndarray
    b: np.ndarray
    dLdW: np.ndarray
    dLdb: np.ndarray
    A: np.ndarray | None

    def __init__(self, in_features: int, out_features: int) -> None: ...
    def init_weights(self, W: ArrayLike, b: ArrayLike) -> None:
        """Replaces the weights with copies of W (out_features, in_features) and b (out_features values) and clears the gradients."""
    def forward(self, A: ArrayLike) -> np.ndarray:
        """Returns A @ W.T + b for A of shape (..., in_features), remembering A for backward."""
    def backward(self, dLdZ: ArrayLike) -> np.ndarray:
        """Given dL/dZ for the latest forward, stores dLdW and dLdb (overwriting earlier ones) and returns dL/dA (the shape of A)."""
