"""Multi-head attention on numpy arrays with an explicit backward pass."""

import numpy as np
from numpy.typing import ArrayLike

from .linear import Linear as Linear
from .scaled_dot_product_attention import ScaledDotProductAttention as ScaledDotProductAttention

class MultiHeadAttention:
    """Multi Head Attention"""

    embed_dim: int
    num_heads: int
    attention: ScaledDotProductAttention
    q_proj: Linear
    k_proj: Linear
    v_proj: Linear
    out_proj: Linear
    N: int
    L: int
    S: int
    E: int

    def __init__(self, embed_dim: int, num_heads: int) -> None: ...
    def init_weights(
        self,
        Wq: ArrayLike,
        bq: ArrayLike,
        Wk: ArrayLike,
        bk: ArrayLike,
        Wv: ArrayLike,
        bv: ArrayLike,
        Wo: ArrayLike,
        bo: ArrayLike,
    ) -> None:
        """Hands each weight/bias pair to the init_weights of q_proj, k_proj, v_proj and out_proj, in that order."""
    def forward(
        self,
        query: ArrayLike,
        key: ArrayLike,
        value: ArrayLike,
        key_padding_mask: ArrayLike | None = None,
        attn_mask: ArrayLike | None = None,
    ) -> np.ndarray:
        """Returns the attention output (N, L, E) for query (N, L, E) and key, value (N, S, E).

        key_padding_mask (N, S) is True at padded keys, attn_mask (L, S) True at blocked query/key pairs;
        None masks nothing. A query whose keys are all masked gets a zero attention output (then out_proj's bias)."""
    def backward(self, d_output: ArrayLike) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Given dL/d(output) (N, L, E) of the latest forward, returns (d_q, d_k, d_v), the gradients with respect to
        query, key and value. Parameter gradients are kept in the four projections (dLdW, dLdb)."""
    def _split_heads(self, x: np.ndarray) -> np.ndarray:
        """(N, T, E) -> (N, H, T, d)."""
    def _concat_heads(self, x: np.ndarray) -> np.ndarray:
        """(N, H, T, d) -> (N, T, E); the inverse of _split_heads."""
    def _merge_masks(self, key_padding_mask: ArrayLike | None, attn_mask: ArrayLike | None) -> np.ndarray:
        """Returns the boolean (N, H, L, S) mask: True where the key is padding or the pair is blocked."""
