"""Pre-LN residual sub-layers: self-attention, cross-attention and feed-forward."""

import torch
from torch import nn

class SelfAttentionLayer(nn.Module):
    """Pre-LN Decoder Sub-Layer 1: Causally-masked self-attention."""

    mha: nn.MultiheadAttention
    norm: nn.LayerNorm
    dropout: nn.Dropout

    def __init__(self, d_model: int, num_heads: int, dropout: float = 0.0) -> None: ...
    def forward(
        self,
        x: torch.Tensor,
        key_padding_mask: torch.Tensor | None = None,
        attn_mask: torch.Tensor | None = None,
        need_weights: bool = True,
    ) -> tuple[torch.Tensor, torch.Tensor | None]:
        """Returns (x + dropout(mha(norm(x), norm(x), norm(x))), head-averaged attention weights (B, T, T)); with
        need_weights false the attention runs fused and the weights are None."""

class CrossAttentionLayer(nn.Module):
    """Pre-LN Decoder Sub-Layer 2: Cross-attention (Query from decoder, K/V from encoder)."""

    mha: nn.MultiheadAttention
    norm: nn.LayerNorm
    dropout: nn.Dropout

    def __init__(self, d_model: int, num_heads: int, dropout: float = 0.0) -> None: ...
    def forward(
        self,
        x: torch.Tensor,
        y: torch.Tensor,
        key_padding_mask: torch.Tensor | None = None,
        attn_mask: torch.Tensor | None = None,
        need_weights: bool = True,
    ) -> tuple[torch.Tensor, torch.Tensor | None]:
        """Returns (x + dropout(mha(norm(x), y, y)), head-averaged attention weights (B, T, S)); key_padding_mask masks y.
        With need_weights false the attention runs fused and the weights are None."""

class FeedForwardLayer(nn.Module):
    """Pre-LN Decoder Sub-Layer 3: Position-wise feed-forward network."""

    ffn: nn.Sequential
    norm: nn.LayerNorm
    dropout: nn.Dropout

    def __init__(self, d_model: int, d_ff: int, dropout: float = 0.0) -> None: ...
    def forward(self, x: torch.Tensor) -> torch.Tensor:
        """Returns x + dropout(ffn(norm(x)))."""
