"""Text dataset for language-model training and evaluation."""

from typing import Any

import torch
from torch.utils.data import Dataset

from velkor.data.tokenizer import BrixTokenizer as BrixTokenizer

class LMDataset(Dataset[tuple[torch.Tensor, torch.Tensor]]):
    """Dataset for Language Model training/evaluation.

    Reads every root/partition/*.npy transcript (a 1-D string array, concatenated) at
    construction; root, subset_size and subset come from config["dataset"] when present, else
    from config. Transcript files are read without running pickled code.
    """

    config: dict[str, Any]
    partition: str
    tokenizer: BrixTokenizer
    eos_token: int
    sos_token: int
    pad_token: int
    text_dir: str
    text_files: list[str]
    transcripts_shifted: list[list[int]]
    transcripts_golden: list[list[int]]
    total_chars: int
    total_tokens: int
    text_max_len: int
    avg_chars_per_token: float | int
    length: int
    def __init__(self, partition: str, config: dict[str, Any], tokenizer: BrixTokenizer) -> None: ...
    def __len__(self) -> int:
        """Number of texts."""
    def __getitem__(self, idx: int) -> tuple[torch.Tensor, torch.Tensor]:
        """(shifted, golden) of text idx as int64 tensors."""
    def collate_fn(self, batch: list[tuple[torch.Tensor, torch.Tensor]]) -> tuple[torch.Tensor, torch.Tensor, torch.Tensor]:
        """Pads a list of (shifted, golden) pairs into (padded_shifted (B, L_max), padded_golden (B, L_max), lengths (B,)), padding with the tokenizer's pad id."""
    def sample_prompts(self, num_samples: int, prompt_length: int, seed: int = 52719) -> tuple[torch.Tensor, list[torch.Tensor]]:
        """Reseeds Python's random module with seed and draws up to num_samples texts longer than prompt_length; returns (prompts (N, prompt_length) int64, list of the N full shifted sequences)."""
    def get_avg_chars_per_token(self) -> float | int:
        """Average number of characters per token."""
