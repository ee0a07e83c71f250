"""Scaled dot-product attention on numpy arrays with an explicit backward pass."""

import numpy as np
from numpy.typing import ArrayLike

class ScaledDotProductAttention:
    """Scaled dot-product attention with masking and a numerically stable softmax."""

    Q: np.ndarray | None
    K: np.ndarray | None
    V: np.ndarray | None
    mask: np.ndarray | None
    scale: float | None
    attention_weights: np.ndarray | None

    def __init__(self) -> None: ...
    def forward(self, Q: ArrayLike, K: ArrayLike, V: ArrayLike, mask: ArrayLike | None = None) -> np.ndarray:
        """Returns softmax(Q @ K^T / sqrt(d)) @ V for Q (..., L, d), K (..., S, d), V (..., S, dv).

        mask is a boolean array broadcastable to (..., L, S), True where a query may not attend a key;
        None masks nothing. A query whose keys are all masked gets zero weights, so a zero output."""
    def backward(self, dLdA: ArrayLike) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Given dL/d(output) of the latest forward, returns (dL/dQ, dL/dK, dL/dV)."""
