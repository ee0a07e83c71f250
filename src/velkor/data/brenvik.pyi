"""Speech dataset: filter-bank features and transcripts, normalization, batching and SpecAugment."""

from typing import Any

import numpy as np
import torch
from torch.utils.data import Dataset

from velkor.data.tokenizer import BrixTokenizer as BrixTokenizer

class FrequencyMasking(torch.nn.Module):
    """Masks one span of frequency rows, of width uniform in [0, freq_mask_param), with 0.

    Used for SpecAugment when torchaudio is not installed; same semantics as its transform.
    """

    mask_param: int
    axis: int
    iid_masks: bool
    p: float
    def __init__(self, freq_mask_param: int, iid_masks: bool = False) -> None: ...
    def forward(self, specgram: torch.Tensor, mask_value: float = 0.0) -> torch.Tensor:
        """Returns a copy of specgram (..., freq, time) with one span along this masker's axis set to mask_value: a span per leading index when iid_masks is true, else one for the whole tensor."""

class TimeMasking(torch.nn.Module):
    """Masks one span of time frames, of width uniform in [0, time_mask_param), with 0.

    Used for SpecAugment when torchaudio is not installed; same semantics as its transform.
    """

    mask_param: int
    axis: int
    iid_masks: bool
    p: float
    def __init__(self, time_mask_param: int, iid_masks: bool = False, p: float = 1.0) -> None: ...
    def forward(self, specgram: torch.Tensor, mask_value: float = 0.0) -> torch.Tensor:
        """Returns a copy of specgram (..., freq, time) with one span along this masker's axis set to mask_value: a span per leading index when iid_masks is true, else one for the whole tensor."""

class ASRDataset(Dataset[tuple[torch.Tensor, torch.Tensor | None, torch.Tensor | None]]):
    """Speech dataset: filter-bank features with transcripts of one partition, loaded into memory.

    Reads root/partition/fbank/*.npy (features, frames) and, except for "test-clean",
    root/partition/text/*.npy (1-D string arrays, concatenated into the transcript), paired by
    sorted file name. Config keys: root, num_feats, norm ("global_mvn", "cepstral", "none"),
    specaug, specaug_conf, and optionally subset_size / subset. Transcript files are read
    without running pickled code: only arrays of strings are accepted.
    """

    config: dict[str, Any]
    partition: str
    isTrainPartition: bool
    tokenizer: BrixTokenizer
    eos_token: int
    sos_token: int
    pad_token: int
    fbank_dir: str
    fbank_files: list[str]
    length: int
    text_dir: str
    text_files: list[str]
    feats: list[np.ndarray]
    transcripts_shifted: list[list[int]]
    transcripts_golden: list[list[int]]
    total_chars: int
    total_tokens: int
    feat_max_len: int
    text_max_len: int
    avg_chars_per_token: float | int
    global_mean: torch.Tensor
    global_std: torch.Tensor
    time_mask: torch.nn.Module
    freq_mask: torch.nn.Module
    def __init__(
        self,
        partition: str,
        config: dict[str, Any],
        tokenizer: BrixTokenizer,
        isTrainPartition: bool,
        global_stats: tuple[torch.Tensor, torch.Tensor] | None = None,
    ) -> None: ...
    def __len__(self) -> int:
        """Number of utterances."""
    def __getitem__(self, idx: int) -> tuple[torch.Tensor, torch.Tensor | None, torch.Tensor | None]:
        """(features (num_feats, frames) float32 normalized, shifted, golden); shifted and golden are int64 tensors, or None for the unlabelled test-clean partition."""
    def collate_fn(
        self, batch: list[tuple[torch.Tensor, torch.Tensor | None, torch.Tensor | None]]
    ) -> tuple[torch.Tensor, torch.Tensor | None, torch.Tensor | None, torch.Tensor, torch.Tensor | None]:
        """Pads a list of items into (padded_feats (B, T_max, F), padded_shifted (B, L_max), padded_golden (B, L_max), feat_lengths (B,), transcript_lengths (B,)); the transcript entries are None for test-clean. Training batches get SpecAugment when config['specaug'] is true."""
    def get_avg_chars_per_token(self) -> float | int:
        """Average number of characters per token."""
