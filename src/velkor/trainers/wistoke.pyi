"""Language-model trainer."""

from typing import Any

import torch

from velkor.decoding.maravex import SequenceGenerator as SequenceGenerator
from velkor.trainers.fendral import BaseTrainer as BaseTrainer
from velkor.utils.gristane import gristane as gristane
from velkor.utils.tamblor import create_scheduler as create_scheduler

class LMTrainer(BaseTrainer):
    """Language Model Trainer class that handles the training, validation, and generation loops.

    Reads config["training"]: "gradient_accumulation_steps" (required, a positive integer), "label_smoothing" (0.0),
    and the keys of BaseTrainer. Metrics of both passes: "ce_loss_token", "ce_loss_char",
    "perplexity_token", "perplexity_char".
    """

    criterion: torch.nn.CrossEntropyLoss

    def __init__(
        self,
        model: torch.nn.Module,
        tokenizer: Any,
        config: dict[str, Any],
        run_name: str,
        config_file: str,
        device: str | None = None,
    ) -> None:
        """Runs the base constructor, then creates the cross-entropy criterion (ignore_index = pad id)."""

    def _train_epoch(self, dataloader: Any) -> tuple[dict[str, float], dict[str, torch.Tensor]]:
        """One training pass: mixed precision, gradient accumulation over gradient_accumulation_steps batches.
        Returns (metrics, attention dictionary of the last batch)."""

    def _validate_epoch(self, dataloader: Any) -> tuple[dict[str, float], dict[str, torch.Tensor]]:
        """One pass without updates under inference mode. Returns (metrics, attention dictionary of the last batch)."""

    def train(self, train_dataloader: Any, val_dataloader: Any, epochs: int) -> None:  # type: ignore[override]
        """Runs epochs of training and validation from current_epoch, generating samples, logging, and saving the
        last-epoch checkpoint and, when the validation ce_loss_char improves, the best one."""

    def evaluate(self, test_dataloader: Any) -> tuple[dict[str, float], dict[str, list[dict[str, Any]]]]:
        """Test metrics and generation with the greedy, beam and sample configurations: returns (metrics, results)."""

    def generate(self, dataloader: Any, generation_config: dict[str, Any] | None = None) -> list[dict[str, Any]]:
        """Generates continuations of prompts drawn from dataloader.dataset (greedy by default; sampling when top_k or
        top_p is positive, beam search when beam_width > 1). The model's incremental scorer (cached keys and values)
        is used when it has one and its class does not override `score` alone, unless generation_config["incremental"]
        is False. Returns one record per prompt: {'prompt', 'original', 'generated', 'score'}."""

    def _get_evaluation_generation_configs(self) -> dict[str, dict[str, Any]]:
        """The generation configurations of evaluate: 'greedy', 'beam' and 'sample'."""
