"""Trainers for the speech and language models."""

from typing import TYPE_CHECKING

from velkor._lazy import lazy_exports

_EXPORTS = {
    "BaseTrainer": ".fendral",
    "LMTrainer": ".wistoke",
    "ASRTrainer": ".ombrel",
    "ProgressiveTrainer": ".ombrel",
}
__all__ = list(_EXPORTS)

__getattr__, __dir__ = lazy_exports(__name__, _EXPORTS)


if TYPE_CHECKING:
    from .fendral import BaseTrainer
    from .wistoke import LMTrainer
    from .ombrel import ASRTrainer, ProgressiveTrainer
