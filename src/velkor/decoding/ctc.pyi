"""Decoding with the CTC branch: best path, incremental CTC prefix scores and joint CTC/attention scores."""

from typing import Any
from collections.abc import Callable, Iterable, Sequence

import torch

def best_path(
    log_probs: torch.Tensor, lengths: torch.Tensor | Sequence[int] | None = None, blank: int = 0
) -> tuple[list[list[int]], torch.Tensor]:
    """Best-path CTC decoding of log_probs (T, B, V), time first as the model's CTC inputs hold them, over the first
    lengths[b] frames of each utterance (all frames when None): the most probable class per frame, repeats
    collapsed and blanks dropped. Returns (list of B token-id lists, log-probabilities of the frame paths (B,))."""

def count_unalignable(frames: torch.Tensor | Sequence[int], targets: Iterable[Sequence[int] | torch.Tensor]) -> int:
    """Number of utterances whose CTC targets cannot be aligned to their frames: frames[i] below the length of
    targets[i] plus its number of adjacent repeated labels."""

class CTCPrefixScorer:
    """Incremental CTC prefix scorer over log_probs (T, B, V) (time first, blank = the tokenizer's pad_id) and
    lengths (B,). Scores are log-scores (log_probs = True): the log prefix probability of each extension minus
    that of the row, so a hypothesis's summed scores are its CTC log-probability once it ends with eos. eos
    scores the whole hypothesis: the full probability of its labels followed by eos when eos_is_label (the
    targets the ASR trainer's CTC loss sees end with eos), of its labels alone otherwise. Blank and sos score
    -inf."""

    blank: int
    eos: int
    eos_is_label: bool
    log_probs: bool

    def __init__(
        self, log_probs: torch.Tensor, lengths: torch.Tensor | Sequence[int] | None, tokenizer: Any, eos_is_label: bool = True
    ) -> None: ...
    def start(self, x: torch.Tensor) -> torch.Tensor:
        """Starts rows for the prompts x (N, T0), N a multiple of the batch (row i belongs to utterance
        i // (N // B)); sos tokens in a prompt are skipped. Returns the next-token scores (N, V)."""

    def step(self, tokens: torch.Tensor) -> torch.Tensor:
        """Appends tokens (N,) to the rows; returns the next-token scores (N, V)."""

    def select(self, rows: torch.Tensor) -> None:
        """New row i is old row rows[i]."""

    def prefix_scores(self) -> torch.Tensor:
        """Log CTC prefix probability of each row's labels (N,)."""

class JointScorer:
    """Joint CTC/attention scorer: (1 - ctc_weight) * attention log-probabilities + ctc_weight * CTC prefix-score
    increments, as final log-scores (log_probs = True). attention is a scorer (start, step, select; log_softmax
    is applied to its scores unless it declares log_probs) or a callable from the whole prefix (N, T) to
    logits (N, V); ctc is a CTCPrefixScorer. A weight of 0 never calls ctc, a weight of 1 never calls attention."""

    attention: Any | Callable[[torch.Tensor], torch.Tensor]
    ctc: CTCPrefixScorer
    ctc_weight: float
    log_probs: bool
    max_len: int | None

    def __init__(self, attention: Any, ctc: CTCPrefixScorer, ctc_weight: float = 0.3) -> None: ...
    def start(self, x: torch.Tensor) -> torch.Tensor:
        """Starts both scorers on the prompts x (N, T0); returns the joint scores (N, V)."""

    def step(self, tokens: torch.Tensor) -> torch.Tensor:
        """Appends tokens (N,) in both scorers; returns the joint scores (N, V)."""

    def select(self, rows: torch.Tensor) -> None:
        """New row i is old row rows[i], in both scorers."""
