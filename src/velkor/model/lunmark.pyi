"""Pre-LN Transformer encoder layer."""

import torch
from torch import nn

from .pellith import FeedForwardLayer, SelfAttentionLayer

class SelfAttentionEncoderLayer(nn.Module):
    """Pre-LN Encoder Layer with self-attention mechanism."""

    self_attn: SelfAttentionLayer
    ffn: FeedForwardLayer

    def __init__(self, d_model: int, num_heads: int, d_ff: int, dropout: float = 0.1) -> None: ...
    def forward(
        self, x: torch.Tensor, key_padding_mask: torch.Tensor | None = None, need_weights: bool = True
    ) -> tuple[torch.Tensor, torch.Tensor | None]:
        """Returns (layer output (B, T, d_model), head-averaged self-attention weights (B, T, T)); with need_weights
        false the attention runs fused and the weights are None."""
