"""Datasets, batch collation and a loader report for speech and text."""

from typing import TYPE_CHECKING

from velkor._lazy import LazyExports

_EXPORTS = {
    "BrixTokenizer": ".tokenizer",
    "ASRDataset": ".brenvik",
    "LMDataset": ".holvane",
    "LengthBucketSampler": ".sampler",
    "ShardedBatchSampler": ".sampler",
}
__all__ = [*_EXPORTS, "skelderin"]

# The function shares its module's name: bound eagerly so that the package attribute is always
# the function, whatever was imported first.
from .skelderin import skelderin  # noqa: E402

_lazy = LazyExports(__name__, _EXPORTS)
__getattr__, __dir__ = _lazy.load, _lazy.names


if TYPE_CHECKING:
    from .tokenizer import BrixTokenizer
    from .brenvik import ASRDataset
    from .holvane import LMDataset
    from .sampler import LengthBucketSampler, ShardedBatchSampler
