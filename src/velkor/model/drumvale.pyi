"""Pre-LN Transformer decoder layers."""

import torch
from torch import nn

from .pellith import CrossAttentionLayer, FeedForwardLayer, SelfAttentionLayer

class SelfAttentionDecoderLayer(nn.Module):
    """Pre-LN decoder layer: masked self-attention and a position-wise feed-forward network."""

    self_attn: SelfAttentionLayer
    ffn: FeedForwardLayer

    def __init__(self, d_model: int, num_heads: int, d_ff: int, dropout: float = 0.1) -> None: ...
    def forward(
        self,
        x: torch.Tensor,
        key_padding_mask: torch.Tensor | None = None,
        attn_mask: torch.Tensor | None = None,
        need_weights: bool = True,
    ) -> tuple[torch.Tensor, torch.Tensor | None]:
        """Returns (layer output (B, T, d_model), head-averaged self-attention weights (B, T, T)); with need_weights
        false the attention runs fused and the weights are None."""

class CrossAttentionDecoderLayer(nn.Module):
    """Pre-LN decoder layer: masked self-attention, cross-attention over the encoder output and a position-wise feed-forward network."""

    self_attn: SelfAttentionLayer
    cross_attn: CrossAttentionLayer
    ffn: FeedForwardLayer

    def __init__(self, d_model: int, num_heads: int, d_ff: int, dropout: float = 0.1) -> None: ...
    def forward(
        self,
        x: torch.Tensor,
        enc_output: torch.Tensor,
        dec_key_padding_mask: torch.Tensor | None = None,
        enc_key_padding_mask: torch.Tensor | None = None,
        attn_mask: torch.Tensor | None = None,
        need_weights: bool = True,
    ) -> tuple[torch.Tensor, torch.Tensor | None, torch.Tensor | None]:
        """Returns (layer output (B, T, d_model), self-attention weights (B, T, T), cross-attention weights (B, T, S)),
        the weights averaged over heads. attn_mask applies to the self-attention only. With need_weights false both
        attentions run fused and both weights are None."""
