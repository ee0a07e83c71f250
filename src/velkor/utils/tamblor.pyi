from collections.abc import Callable, Sized
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

class BudgetSchedule(LRScheduler):
    """Linear warm-up over warmup_fraction of total_steps optimizer updates from start_factor, then a half cosine to
    eta_min at total_steps; replan() changes the total mid-run without a jump in the rate."""

    warmup_fraction: float
    start_factor: float
    eta_min: float
    total_steps: int
    warmup_steps: int
    anchor_step: int
    anchor_level: float

    def __init__(
        self,
        optimizer: torch.optim.Optimizer,
        total_steps: int,
        warmup_fraction: float = 0.0,
        start_factor: float = 0.1,
        eta_min: float = 0.0,
        last_epoch: int = -1,
    ) -> None: ...
    def get_lr(self) -> list[float]:  # type: ignore[override]
        """The rate of every parameter group at the current step."""

    def replan(self, total_steps: int) -> None:
        """Plans `total_steps` updates in all from the current step on, keeping the current rate: a warm-up not yet
        over ends at warmup_fraction of the new total, the decay reaches eta_min at the new total. A total at or below
        the current step puts every rate at its floor now."""

    def load_state_dict(self, state_dict: dict[str, Any]) -> None:
        """Restores a state from state_dict(); the state of another kind of schedule is a ValueError."""

class TimeBudget:
    """A wall-time budget of `seconds` for training, read from `clock` (default time.monotonic). The trainers consult it
    (trainer.time_budget): it plans the optimizer updates that fit from the measured pace and the measured cost of an
    epoch's validation and checkpoints, re-plans after every update, and stops the pass when the plan is done."""

    seconds: float
    steps: int
    planned_steps: int | None
    pace: float | None
    overhead: float | None
    finished: bool

    def __init__(self, seconds: float, *, clock: Callable[[], float] | None = None) -> None: ...
    @property
    def spent(self) -> float:
        """Seconds of the budget spent so far (earlier runs included)."""

    def begin_epoch(
        self,
        steps_per_epoch: int,
        validation_batches: int = 0,
        epochs_left: int | None = None,
        scheduler: object | None = None,
    ) -> bool:
        """Called before each training pass: measures the time since the last update (the previous epoch's validation
        and checkpoints), re-plans, and returns whether the pass should run (False once the plan is done)."""

    def step_done(self, scheduler: object | None = None) -> bool:
        """Called after each optimizer update: measures the pace, re-plans (handing the planned total to
        scheduler.replan) and returns True when the planned updates are done and the pass must stop."""

    def end_epoch(self, epochs_left: int | None = None, scheduler: object | None = None) -> bool:
        """Called after an epoch's validation, before it is saved (`epochs_left`: those after it): re-plans with what
        the epoch end has cost so far and returns whether another epoch fits."""

    def state_dict(self) -> dict[str, Any]:
        """seconds, spent, steps, planned_steps, pace, overhead and finished, as plain numbers."""

    def load_state_dict(self, state_dict: dict[str, Any]) -> None:
        """Continues the plan of state_dict(): the time spent then counts as spent."""
