"""Sequence generation: greedy search, sampling, beam search and end-of-sequence post-processing."""

from typing import Any, Callable

import torch

class SequenceGenerator:
    """Greedy search, sampling and beam search over a next-token scoring function."""

    score_fn: Callable[[torch.Tensor], torch.Tensor]
    tokenizer: Any
    max_length: int
    device: str

    def __init__(
        self,
        score_fn: Callable[[torch.Tensor], torch.Tensor],
        tokenizer: Any,
        max_length: int,
        device: str = ...,
    ) -> None:
        """Generator over score_fn (token ids (N, T) -> next-token logits (N, V)) and tokenizer (eos_id; pad_id,
        0 when absent; num_classes == V). max_length is the longest total length, prompt included; device is
        stored only, generation runs on the input's device. The default device is "cuda" when torch reports a
        usable CUDA device at import time, else "cpu"."""

    def _apply_repeat_penalty(self, logits: torch.Tensor, sequences: torch.Tensor, penalty: float = 1.0) -> torch.Tensor:
        """Divides each row's logits of the tokens used in its sequence by penalty when positive and by 1 / penalty
        otherwise, in place; logits (B, V) with sequences (B, T), or (B, K, V) with (B, K, T). Returns logits."""

    def _filter_logits(
        self, logits: torch.Tensor, temperature: float = 1.0, top_k: int = 0, top_p: float = 1.0
    ) -> torch.Tensor:
        """Returns logits / temperature with entries below the k-th largest (top_k > 0) and outside the nucleus
        (top_p < 1.0) set to -inf."""

    def generate_greedy(
        self, x: torch.Tensor, temperature: float = 1.0, repeat_penalty: float = 1.0
    ) -> tuple[torch.Tensor, torch.Tensor]:
        """Extends x (B, T_in) with the most probable token until every row has emitted eos_id or max_length is
        reached. Returns (sequences (B, T_out), summed log-probabilities (B,)); finished rows are padded with pad_id."""

    def generate_sample(
        self, x: torch.Tensor, temperature: float = 1.0, top_k: int = 0, top_p: float = 1.0
    ) -> tuple[torch.Tensor, torch.Tensor]:
        """As generate_greedy, but draws each token from the filtered distribution (temperature, top-k, nucleus)."""

    def generate_beam(
        self, x: torch.Tensor, beam_width: int, temperature: float = 1.0, repeat_penalty: float = 1.0
    ) -> tuple[torch.Tensor, torch.Tensor]:
        """Beam search. Returns (sequences (B, beam_width, max_length), scores (B, beam_width)), best first in each
        row; hypotheses shorter than max_length are padded with pad_id, empty slots are zeros with score -inf."""

    @staticmethod
    def post_process_sequence(seq: torch.Tensor, tokenizer: Any) -> torch.Tensor | list[torch.Tensor]:
        """Cuts seq after its first eos_id: a 1-D tensor gives a 1-D tensor, a 2-D tensor a list of 1-D tensors."""
