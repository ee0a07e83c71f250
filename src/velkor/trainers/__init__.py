"""Trainers for the speech and language models."""

from typing import TYPE_CHECKING

from velkor._lazy import LazyExports

_EXPORTS = {
    "BaseTrainer": ".fendral",
    "LMTrainer": ".wistoke",
    "ASRTrainer": ".ombrel",
    "ProgressiveTrainer": ".ombrel",
}
__all__ = list(_EXPORTS)

_lazy = LazyExports(__name__, _EXPORTS)
__getattr__, __dir__ = _lazy.load, _lazy.names


if TYPE_CHECKING:
    from .fendral import BaseTrainer
    from .wistoke import LMTrainer
    from .ombrel import ASRTrainer, ProgressiveTrainer
