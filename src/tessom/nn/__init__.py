"""Array layers on numpy arrays with explicit backward passes."""

from .linear import Linear
from .scaled_dot_product_attention import ScaledDotProductAttention
from .corvisk import MultiHeadAttention

__all__ = ["Linear", "ScaledDotProductAttention", "MultiHeadAttention"]
