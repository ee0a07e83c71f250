"""Conformer encoder layer: macaron feed-forward, rotary self-attention and a convolution module.

A drop-in for SelfAttentionEncoderLayer (same arguments and outputs): every sub-layer is Pre-LN and
residual, padded frames (key_padding_mask true) never reach real frames, and positions enter only
through rotary embeddings, so attention scores depend on the distance between frames.
"""

import torch
from torch import nn

class HalfStepFeedForward(nn.Module):
    """Pre-LN feed-forward sub-layer with swish whose residual adds half its output."""

    ffn: nn.Sequential
    norm: nn.LayerNorm
    dropout: nn.Dropout

    def __init__(self, d_model: int, d_ff: int, dropout: float = 0.0) -> None: ...
    def forward(self, x: torch.Tensor) -> torch.Tensor:
        """Returns x + 0.5 * dropout(ffn(norm(x))), ffn with swish."""

class RotarySelfAttention(nn.Module):
    """Pre-LN multi-head self-attention with rotary position embeddings."""

    num_heads: int
    in_proj: nn.Linear
    out_proj: nn.Linear
    norm: nn.LayerNorm
    dropout: nn.Dropout
    inv_freq: torch.Tensor

    def __init__(self, d_model: int, num_heads: int, dropout: float = 0.0) -> None: ...
    def forward(
        self, x: torch.Tensor, key_padding_mask: torch.Tensor | None = None, need_weights: bool = True
    ) -> tuple[torch.Tensor, torch.Tensor | None]:
        """Returns (x + dropout(attention(norm(x))) with rotary positions on queries and keys, head-averaged attention
        weights (B, T, T)); with need_weights false the attention runs fused and the weights are None."""

class ConvolutionModule(nn.Module):
    """Pre-LN convolution sub-layer: pointwise + GLU, depthwise, LayerNorm, swish, pointwise."""

    norm: nn.LayerNorm
    pointwise_in: nn.Linear
    depthwise: nn.Conv1d
    depthwise_norm: nn.LayerNorm
    pointwise_out: nn.Linear
    dropout: nn.Dropout

    def __init__(self, d_model: int, kernel_size: int = 15, dropout: float = 0.0) -> None: ...
    def forward(self, x: torch.Tensor, key_padding_mask: torch.Tensor | None = None) -> torch.Tensor:
        """Returns x + dropout(pointwise_out(swish(depthwise_norm(depthwise(GLU(pointwise_in(norm(x)))))))),
        padded frames (key_padding_mask true) zeroed before the depthwise convolution."""

class ConformerEncoderLayer(nn.Module):
    """Conformer encoder layer: half-step feed-forward, rotary self-attention, convolution module, half-step
    feed-forward, final LayerNorm."""

    ffn1: HalfStepFeedForward
    self_attn: RotarySelfAttention
    conv: ConvolutionModule
    ffn2: HalfStepFeedForward
    norm: nn.LayerNorm

    def __init__(self, d_model: int, num_heads: int, d_ff: int, dropout: float = 0.1, conv_kernel_size: int = 15) -> None: ...
    def forward(
        self, x: torch.Tensor, key_padding_mask: torch.Tensor | None = None, need_weights: bool = True
    ) -> tuple[torch.Tensor, torch.Tensor | None]:
        """Returns (layer output (B, T, d_model), head-averaged self-attention weights (B, T, T)); with need_weights
        false the attention runs fused and the weights are None."""
