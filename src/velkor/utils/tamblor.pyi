from collections.abc import Sized
from os import PathLike
from typing import Any

import torch
from torch.optim.lr_scheduler import LRScheduler, ReduceLROnPlateau, SequentialLR

def create_scheduler(
    optimizer: torch.optim.Optimizer,
    scheduler_config: dict[str, Any],
    train_loader: Sized,
    gradient_accumulation_steps: int = 1,
) -> LRScheduler | ReduceLROnPlateau:
    """Builds ReduceLROnPlateau, CosineAnnealingLR or CosineAnnealingWarmRestarts for `optimizer` from
    `scheduler_config`, optionally preceded by a linear warm-up (SequentialLR), and prints a report.
    Durations are given in epochs and converted to optimizer updates: ceil(len(train_loader) /
    gradient_accumulation_steps) per epoch, the number of times the trainers step the scheduler."""

def create_warmup_scheduler(
    optimizer: torch.optim.Optimizer,
    base_scheduler: LRScheduler,
    warmup_config: dict[str, Any],
    train_loader: Sized,
) -> SequentialLR:
    """Chains a LinearLR warm-up of warmup_config['epochs'] * len(train_loader) steps in front of
    `base_scheduler` with SequentialLR."""

def _epochs_to_steps(epochs: int, train_loader: Sized, gradient_accumulation_steps: int = 1) -> int:
    """Optimizer updates in `epochs` epochs: epochs * ceil(len(train_loader) / gradient_accumulation_steps)."""

def plot_lr_schedule(
    scheduler: LRScheduler | ReduceLROnPlateau,
    num_epochs: int,
    train_loader: Sized,
    gradient_accumulation_steps: int = 1,
    max_groups: int = 5,
    *,
    save_path: str | PathLike[str] | None = None,
) -> None:
    """Runs `scheduler` forward over `num_epochs` epochs, restores it and its optimizer, and plots the
    learning rate of up to `max_groups` parameter groups on a log scale; with `save_path` the figure
    is also written to that file. The model's parameters and gradients are left untouched."""
