"""Speech-recognition trainers: joint CE/CTC training, recognition with LM fusion, error rates, staged training."""

from typing import Any

import pandas as pd
import torch
from torch.utils.data import DataLoader

from velkor.trainers.fendral import BaseTrainer

class ASRTrainer(BaseTrainer):
    """Trains and evaluates an encoder-decoder speech recognizer with the joint cross-entropy and CTC loss.

    Configuration: "loss" -> "label_smoothing" (0.0), "ctc_weight" (0.0: no CTC term); "training" ->
    "gradient_accumulation_steps" (a positive integer) and "amp_dtype" (float16 autocast on CUDA,
    bfloat16 on the CPU by default; "float32" turns autocast off).

    Recognition configurations: "beam_width" (required; 1 greedy, more beam search), "num_batches"
    (None: all), "temperature", "repeat_penalty" (beam search only), "lm_model" and "lm_weight"
    (shallow fusion: speech logits + lm_weight x LM logits, lm_weight a finite number >= 0),
    "incremental" (True: decoder states cached across steps where the models offer an incremental
    scorer and their classes do not override `score` alone; False: every step rescores the whole
    prefix), "ctc_weight" (0.0: attention only; else joint scores (1 - w) x attention
    log-probabilities + w x CTC prefix scores of the model's CTC head) and "decoder" ("attention",
    or "ctc": the CTC head's best path, or with beam_width > 1 a beam search over its prefix scores).
    With a CTC loss, train() first prints how many training utterances CTC cannot align, when any.
    """

    ce_criterion: torch.nn.CrossEntropyLoss
    ctc_criterion: torch.nn.CTCLoss | None
    ctc_weight: float
    text_max_len: int
    find_unused_parameters: bool
    """Whether data-parallel training looks for parameters the loss did not reach (True without CTC weight)."""

    def __init__(
        self,
        model: torch.nn.Module,
        tokenizer: Any,
        config: dict[str, Any],
        run_name: str,
        config_file: str,
        device: str | None = None,
    ) -> None: ...
    def _train_epoch(self, dataloader: DataLoader[Any]) -> tuple[dict[str, float], dict[str, torch.Tensor]]:
        """One training pass. Returns ({"ce_loss", "ctc_loss", "joint_loss", "perplexity_token",
        "perplexity_char"}, attention dictionary of the last batch); losses are token-weighted."""
    def _validate_epoch(self, dataloader: DataLoader[Any]) -> tuple[dict[str, float], list[dict[str, Any]]]:  # type: ignore[override]
        """Greedy recognition of the first five batches. Returns ({"word_dist", "wer", "cer"}, records)."""
    def train(self, train_dataloader: DataLoader[Any], val_dataloader: DataLoader[Any], epochs: int) -> None:  # type: ignore[override]
        """Trains for `epochs` epochs after `current_epoch`; keeps the last and the best (validation "cer")
        checkpoints, the best one decided within this call."""
    def evaluate(self, dataloader: DataLoader[Any], max_length: int | None = None) -> dict[str, pd.DataFrame]:
        """Recognition with the "greedy", "beam_10" and "beam_20" configurations: {name: DataFrame with
        columns "id", "transcription"}. A failing configuration prints an error line and is left out."""
    def recognize(
        self,
        dataloader: DataLoader[Any],
        recognition_config: dict[str, Any] | None = None,
        config_name: str | None = None,
        max_length: int | None = None,
    ) -> list[dict[str, Any]]:
        """Records {"target" (when the batches carry transcripts), "generated", "score"} per utterance.
        Without a configuration: greedy search on the first five batches. max_length defaults to
        `text_max_len` (set by train)."""
    def _get_evaluation_recognition_configs(
        self, lm_model: torch.nn.Module | None = None, lm_weight: float = 0.0
    ) -> dict[str, dict[str, Any]]:
        """The configurations "greedy" (beam_width 1), "beam_10" and "beam_20"."""
    def _calculate_asr_metrics(self, references: str | list[str], hypotheses: str | list[str]) -> dict[str, float]:
        """{"word_dist": mean edit distance, "wer": word error rate in percent, "cer": character error rate in percent}."""

class ProgressiveTrainer(ASRTrainer):
    """ASR training in stages that change the active and frozen layers, dropout, label smoothing and data fraction.

    A stage is a dictionary with "name", "epochs", "encoder_active_layers", "decoder_active_layers",
    optional "encoder_freeze" / "decoder_freeze" (one flag per active layer; empty or absent: none
    frozen), "dropout", "label_smoothing" and "data_subset" (a fraction in (0, 1]).
    """

    current_stage: int
    all_lunmark: list[torch.nn.Module]
    all_drumvale: list[torch.nn.Module]

    def __init__(
        self,
        model: torch.nn.Module,
        tokenizer: Any,
        config: dict[str, Any],
        run_name: str,
        config_file: str,
        device: str | None = None,
    ) -> None: ...
    def configure_stage(self, stage_config: dict[str, Any]) -> None:
        """Applies one stage and prints its configuration, layers and parameter counts."""
    def progressive_train(self, train_dataloader: DataLoader[Any], val_dataloader: DataLoader[Any], stages: list[dict[str, Any]]) -> None:
        """Checks every stage, then trains through them in order, each on a new random subset of the training data."""
    def transition_to_full_training(self) -> None:
        """Restores every layer in its original order, unfreezes all parameters, resets the loss and best metric."""
    def train(self, train_dataloader: DataLoader[Any], val_dataloader: DataLoader[Any], epochs: int) -> None:  # type: ignore[override]
        """Full training after transition_to_full_training."""
    def get_subset_dataloader(self, dataloader: DataLoader[Any], subset_fraction: float) -> DataLoader[Any]:
        """A shuffled loader over a random subset_fraction of the loader's dataset (at least one utterance)."""
