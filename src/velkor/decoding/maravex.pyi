"""Sequence generation: greedy search, sampling, beam search and end-of-sequence post-processing.

Scores come from `score_fn`, which is either

- a plain callable ``score_fn(x: LongTensor (N, T)) -> Tensor (N, V)``, called on the whole prefix
  at every step, or
- an incremental scorer: any object with the methods (checked by name)
  ``start(x: LongTensor (N, T0)) -> Tensor (N, V)`` (restart from the prompt rows),
  ``step(tokens: LongTensor (N,)) -> Tensor (N, V)`` (append one token to every row) and
  ``select(rows: LongTensor (M,)) -> None`` (new row i = old row rows[i]), and optionally the
  attributes `log_probs` and `max_len` described below. Each generate_* call calls ``start`` once on the prompt, then ``step`` with the column of tokens
  it appended; beam search calls ``select`` to expand the B prompt rows to B*K beams after
  ``start`` and to keep the parents of the chosen candidates before each later ``step``. Greedy
  search and sampling keep every row (finished rows step on pad_id). The tensors handed to a
  scorer are its own to keep.

Scores are raw logits: the generator applies the repetition penalty (in place, on the returned
tensor), the temperature and a log-softmax. A truthy attribute `log_probs` on score_fn marks
final per-token log-scores: greedy and beam search then skip the log-softmax (penalty and
temperature still apply); sampling always normalizes what it draws from. Every returned tensor
must be (N, V) (V = the tokenizer's num_classes when it declares one): greedy search and
sampling, and every scorer call, raise ValueError otherwise before reading a value; beam search
over a plain callable views the result as (B, K, V), so a wrong size fails there.

Length: generation stops at `max_length` or at the model's `max_len`, whichever comes first: the
`max_len` attribute of score_fn (an int, or None for no limit), or for a bound method such as
``lm.score`` that of its object. Beam search still returns `max_length` columns (pad_id after a
hypothesis that stopped at max_len).
"""

from typing import Any
from collections.abc import Callable

import torch

Scorer = Any  # an object with start, step and select, as described above

class SequenceGenerator:
    """Greedy search, sampling and beam search over a next-token scoring function or an incremental scorer."""

    score_fn: Callable[[torch.Tensor], torch.Tensor] | Scorer
    tokenizer: Any
    max_length: int
    device: str

    def __init__(
        self,
        score_fn: Callable[[torch.Tensor], torch.Tensor] | Scorer,
        tokenizer: Any,
        max_length: int,
        device: str = ...,
    ) -> None:
        """Generator over score_fn and tokenizer (eos_id; pad_id, 0 when absent; num_classes == V). score_fn is either a
        callable (token ids (N, T) -> next-token logits (N, V), called on the whole prefix every step) or an incremental
        scorer (start(x), step(tokens), select(rows)). max_length is the longest total length, prompt included;
        generation also stops at score_fn's max_len. device is stored only, generation runs on the input's device.
        The default device is "cuda" when torch reports a usable CUDA device at import time, else "cpu"."""

    def _apply_repeat_penalty(self, logits: torch.Tensor, sequences: torch.Tensor, penalty: float = 1.0) -> torch.Tensor:
        """Divides each row's logits of the tokens used in its sequence by penalty when positive and by 1 / penalty
        otherwise, in place; logits (B, V) with sequences (B, T), or (B, K, V) with (B, K, T). Returns logits."""

    def _filter_logits(self, logits: torch.Tensor, temperature: float = 1.0, top_k: int = 0, top_p: float = 1.0) -> torch.Tensor:
        """Returns logits / temperature with entries below the k-th largest (top_k > 0) and outside the nucleus
        (top_p < 1.0) set to -inf."""

    def generate_greedy(self, x: torch.Tensor, temperature: float = 1.0, repeat_penalty: float = 1.0) -> tuple[torch.Tensor, torch.Tensor]:
        """Extends x (B, T_in) with the most probable token until every row has emitted eos_id or max_length is
        reached. Returns (sequences (B, T_out), summed log-probabilities (B,)); finished rows are padded with pad_id."""

    def generate_sample(
        self, x: torch.Tensor, temperature: float = 1.0, top_k: int = 0, top_p: float = 1.0
    ) -> tuple[torch.Tensor, torch.Tensor]:
        """As generate_greedy, but draws each token from the filtered distribution (temperature, top-k, nucleus)."""

    def generate_beam(
        self, x: torch.Tensor, beam_width: int, temperature: float = 1.0, repeat_penalty: float = 1.0, length_penalty: float = 0.0
    ) -> tuple[torch.Tensor, torch.Tensor]:
        """Beam search. Returns (sequences (B, beam_width, max_length), scores (B, beam_width)), best first in each
        row; hypotheses shorter than max_length are padded with pad_id, empty slots are zeros with score -inf.
        Scores are total log-probabilities; with length_penalty a > 0, finished and final hypotheses are ranked
        by total / (generated tokens)^a, and that is the score returned (a = 1: mean per-token log-probability)."""

    @staticmethod
    def post_process_sequence(seq: torch.Tensor, tokenizer: Any) -> torch.Tensor | list[torch.Tensor]:
        """Cuts seq after its first eos_id: a 1-D tensor gives a 1-D tensor, a 2-D tensor a list of 1-D tensors."""

class FusedScorer:
    """Incremental scorer adding a language model's scores to a speech model's (shallow fusion).

    Attributes: asr_scorer, lm_scorer, lm_weight (float), log_probs (True when asr_scorer declares
    log_probs: the language model's scores then enter as log-probabilities) and max_len (the
    smaller of the two scorers' max_len, None when neither declares one)."""

    asr_scorer: Scorer
    lm_scorer: Scorer
    lm_weight: float
    log_probs: bool
    max_len: int | None

    def __init__(self, asr_scorer: Scorer, lm_scorer: Scorer, lm_weight: float) -> None:
        """Shallow fusion of two incremental scorers over one vocabulary: scores = asr + lm_weight * lm (raw logits; the
        language model's log-probabilities when asr_scorer declares log_probs). lm_weight is a finite number >= 0."""
    def start(self, x: torch.Tensor) -> torch.Tensor:
        """Starts both scorers from the prompt x (N, T) and returns the fused scores (N, V)."""
    def step(self, tokens: torch.Tensor) -> torch.Tensor:
        """Appends tokens (N,) in both scorers and returns the fused scores (N, V)."""
    def select(self, rows: torch.Tensor) -> None:
        """Reorders, repeats or drops the rows of both scorers: new row i = old row rows[i]."""
