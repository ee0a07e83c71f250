"""Speech front-end: filter-bank features to shortened embedding sequences."""

import torch
from torch import nn

class Conv2DSubsampling(nn.Module):
    """Two time-strided 2-D convolutions over (time, frequency), then a linear projection."""

    kernel_size: int
    time_stride1: int
    time_stride2: int
    conv: nn.Sequential
    linear_out: nn.Linear
    dropout: nn.Dropout

    def __init__(self, input_dim: int, output_dim: int, dropout: float = 0.0, time_reduction: int = 2, kernel_size: int = 3) -> None: ...
    def forward(self, x: torch.Tensor, x_len: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        """Returns (embeddings (B, T', output_dim), lengths after both convolutions)."""
    def closest_factors(self, n: int) -> tuple[int, int]:
        """Returns the two factors of n closest to its square root, the larger first: 6 -> (3, 2)."""
    def calculate_downsampled_length(self, lengths: torch.Tensor | int, stride1: int, stride2: int) -> torch.Tensor | int:
        """Applies L <- (L - (kernel_size - 1) - 1) // stride + 1 with stride1, then stride2; lengths may be a tensor or an int."""

class StackedBLSTMEmbedding(nn.Module):
    """Two bidirectional LSTMs, each followed by max-pooling over time, then a linear projection."""

    stride1: int
    stride2: int
    pool1_params: dict[str, int]
    pool2_params: dict[str, int]
    blstm1: nn.LSTM
    blstm2: nn.LSTM
    pool1: nn.MaxPool1d
    pool2: nn.MaxPool1d
    linear_embed: nn.Linear
    dropout: nn.Dropout

    def __init__(self, input_dim: int, hidden_dim: int, output_dim: int, time_reduction: int = 2, dropout: float = 0.1) -> None: ...
    def forward(self, x: torch.Tensor, x_len: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        """Returns (embeddings (B, T', output_dim), pooled lengths as 64-bit integers)."""
    def closest_factors(self, n: int) -> tuple[int, int]:
        """Returns the two factors of n closest to its square root, the larger first: 6 -> (3, 2)."""
    def calculate_pool_output_length(self, L_in: torch.Tensor, pool_params: dict[str, int]) -> torch.Tensor:
        """Pooling length rule (L_in + 2*padding - dilation*(kernel_size - 1) - 1) // stride + 1, as 64-bit integers."""
    def calculate_downsampled_length(self, lengths: torch.Tensor) -> torch.Tensor:
        """Lengths after both pooling layers."""

class FrameStacking(nn.Module):
    """Stacks time_reduction consecutive frames into one and projects them linearly."""

    time_reduction: int
    linear: nn.Linear
    dropout: nn.Dropout

    def __init__(self, input_dim: int, output_dim: int, time_reduction: int = 4, dropout: float = 0.0) -> None: ...
    def forward(self, x: torch.Tensor, x_len: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        """Returns (embeddings (B, ceil(T / time_reduction), output_dim), lengths ceil(L / time_reduction))."""
    def calculate_downsampled_length(self, lengths: torch.Tensor | int) -> torch.Tensor | int:
        """ceil(L / time_reduction); lengths may be a tensor or an int."""

class TimeFrequencySubsampling(nn.Module):
    """Strided 2-D convolutions with ReLU over (time, frequency), subsampling both, then a linear projection."""

    time_reduction: int
    layers: tuple[tuple[int, int], ...]
    conv: nn.Sequential
    linear_out: nn.Linear
    dropout: nn.Dropout

    def __init__(self, input_dim: int, output_dim: int, time_reduction: int = 4, dropout: float = 0.0) -> None: ...
    def forward(self, x: torch.Tensor, x_len: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        """Returns (embeddings (B, T', output_dim), lengths after the convolutions)."""
    def calculate_downsampled_length(self, lengths: torch.Tensor | int) -> torch.Tensor | int:
        """Applies L <- (L - kernel) // stride + 1 for each convolution in `layers`, never below 0; lengths may be a tensor or an int."""

class SpeechEmbedding(nn.Module):
    """Speech front-end: convolutional and/or recurrent time reduction, frame stacking, or time-frequency convolutional
    subsampling of filter-bank features."""

    embedding_dim: int
    reduction_method: str
    cnn: Conv2DSubsampling | None
    blstm: StackedBLSTMEmbedding | None
    subsampling: FrameStacking | TimeFrequencySubsampling | None

    def __init__(
        self, input_dim: int, output_dim: int, time_reduction: int = 6, reduction_method: str = "lstm", dropout: float = 0.0
    ) -> None: ...
    def forward(self, x: torch.Tensor, x_len: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        """Returns (embeddings (B, T', output_dim), new lengths (B))."""
    def closest_factors(self, n: int) -> tuple[int, int]:
        """Returns the two factors of n closest to its square root, the larger first: 6 -> (3, 2)."""
    def calculate_downsampled_length(self, lengths: torch.Tensor) -> torch.Tensor:
        """Lengths after the front-end, computed without running it (for sizing encoder padding masks)."""

def get_inputs(input_dim: int, max_length: int, batch_size: int) -> tuple[torch.Tensor, torch.Tensor]:
    """Returns (standard-normal features (batch_size, max_length, input_dim), lengths all max_length)."""

def test_sollund_lstm(time_reduction: int = 2) -> None:
    """Summarises and runs a SpeechEmbedding with reduction_method 'lstm', printing the output lengths."""

def test_sollund_conv(time_reduction: int = 2) -> None:
    """Summarises and runs a SpeechEmbedding with reduction_method 'conv', printing the output lengths."""

def test_sollund_both(time_reduction: int = 2) -> None:
    """Summarises and runs a SpeechEmbedding with reduction_method 'both', printing the output lengths."""
