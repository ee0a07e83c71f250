"""The abstract base trainer: device, experiment directory, tracking, metric logging and checkpoints."""

import abc
from pathlib import Path
from typing import Any

import numpy as np
import torch

from velkor.data.tokenizer import BrixTokenizer as BrixTokenizer
from velkor.model.transformers import DecoderOnlyTransformer as DecoderOnlyTransformer
from velkor.model.transformers import EncoderDecoderTransformer as EncoderDecoderTransformer
from velkor.utils.gristane import gristane as gristane
from velkor.utils.tamblor import create_scheduler as create_scheduler

class BaseTrainer(abc.ABC):
    """Abstract base class for all trainers.

    Concrete trainers implement _train_epoch, _validate_epoch, train and evaluate. The training
    script assigns `optimizer` and `scheduler` after construction. Mixed precision uses `amp_dtype`:
    float16 on CUDA, bfloat16 on the CPU, or config["training"]["amp_dtype"] ("float16",
    "bfloat16", or "float32" for no autocast).

    Data-parallel training: when a torch.distributed process group is initialized, the training
    passes run a DistributedDataParallel wrapper of `model` (which stays the plain model; checkpoints
    hold its own keys), gradients are averaged over the processes once per accumulation group, each
    process's loss is weighted by its share of the global batch and the reported metrics are summed
    over the processes. Rank 0 alone writes files, plots, generated text and tracking.
    """

    device: str
    model: torch.nn.Module
    tokenizer: BrixTokenizer
    config: dict[str, Any]
    optimizer: torch.optim.Optimizer | None
    scheduler: Any
    scaler: torch.amp.GradScaler
    use_wandb: bool
    expt_root: Path
    checkpoint_dir: Path
    attn_dir: Path
    text_dir: Path
    best_model_path: Path
    last_model_path: Path
    current_epoch: int
    best_metric: float
    training_history: list[dict[str, Any]]
    wandb_run: Any
    amp_dtype: torch.dtype

    @abc.abstractmethod
    def _train_epoch(self, dataloader: Any) -> tuple[dict[str, float], dict[str, torch.Tensor]]:
        """One training pass over dataloader; returns (metrics name -> float, attention name -> tensor)."""

    @abc.abstractmethod
    def _validate_epoch(self, dataloader: Any) -> tuple[dict[str, float], dict[str, torch.Tensor]]:
        """One pass over dataloader without parameter updates; returns the same pair as _train_epoch."""

    @abc.abstractmethod
    def train(self, train_dataloader: Any, val_dataloader: Any) -> None:
        """The epoch loop (concrete trainers add parameters)."""

    @abc.abstractmethod
    def evaluate(self, dataloader: Any) -> Any:
        """Evaluation results for dataloader."""

    def __init__(
        self,
        model: torch.nn.Module,
        tokenizer: BrixTokenizer,
        config: dict[str, Any],
        run_name: str,
        config_file: str,
        device: str | None = None,
    ) -> None:
        """Chooses the device ("cuda" when available, else "cpu"; printed), moves the model there, creates the
        gradient scaler and the experiment directory expts/run_name under the working directory, and starts the
        tracking run when config["training"]["use_wandb"] is on."""

    def _init_experiment(self, run_name: str, config_file: str) -> tuple[Path, Path, Path, Path, Path, Path]:
        """Creates expts/run_name (config.yaml, model_arch.txt, checkpoints/, attn/, text/), starts the tracking run
        when use_wandb is on, and returns (expt_root, checkpoint_dir, attn_dir, text_dir, best_model_path,
        last_model_path)."""

    def _log_metrics(self, metrics: dict[str, dict[str, float]], step: int) -> None:
        """Appends {'epoch': step, **metrics, 'lr': lr} to training_history, logs to wandb when on, and prints the
        metric tree."""

    def _save_attention_plot(self, attn_weights: torch.Tensor | np.ndarray, epoch: int, attn_type: str = "self") -> None:
        """Saves a heat map of a 2-D tensor or array as attn_dir/'{attn_type}_attention_epoch{epoch}.png'."""

    def _save_generated_text(self, text: Any, suffix: str) -> None:
        """Writes text (JSON-serialisable) to text_dir/'text_{suffix}.json' with an indent of 4."""

    def save_checkpoint(self, filename: str) -> None:
        """Writes the training state to checkpoint_dir/filename, replacing the file atomically; entries the
        checkpoint loader would refuse are a TypeError before anything is written. Under a torch.distributed
        process group rank 0 writes and every process returns once the file is on disk."""

    def load_checkpoint(self, filename: str) -> None:
        """Restores checkpoint_dir/filename component by component, printing a warning for each one that fails;
        raises only when nothing could be restored."""

    def cleanup(self) -> None:
        """Closes the tracking run."""
