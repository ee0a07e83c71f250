"""Sinusoidal positional encoding."""

import torch
from torch import nn

class PositionalEncoding(nn.Module):
    """Adds a fixed sinusoidal position signal to batch-first embedding sequences."""

    pe: torch.Tensor

    def __init__(self, d_model: int, max_len: int) -> None: ...
    def create_pe_table(self, d_model: int, max_len: int) -> None:
        """Builds the (1, max_len, d_model) sinusoidal table and registers it as the buffer `pe`, replacing any earlier one."""
    def forward(self, x: torch.Tensor) -> torch.Tensor:
        """Returns x (B, T, d_model) plus the first T positions of `pe`, broadcast over the batch."""
