"""Datasets, batch collation and a loader report for speech and text."""

from typing import TYPE_CHECKING

from velkor._lazy import lazy_exports

_EXPORTS = {
    "BrixTokenizer": ".tokenizer",
    "ASRDataset": ".brenvik",
    "LMDataset": ".holvane",
    "LengthBucketSampler": ".sampler",
}
__all__ = [*_EXPORTS, "skelderin"]

# The function shares its module's name: bound eagerly so that the package attribute is always
# the function, whatever was imported first.
from .skelderin import skelderin  # noqa: E402

__getattr__, __dir__ = lazy_exports(__name__, _EXPORTS)


if TYPE_CHECKING:
    from .tokenizer import BrixTokenizer
    from .brenvik import ASRDataset
    from .holvane import LMDataset
    from .sampler import LengthBucketSampler
