"""Datasets, batch collation and a loader report for speech and text."""

# Re-exports load their extension module on first use, so importing the package stays cheap
# and a partial development build still imports.
from importlib import import_module
from typing import TYPE_CHECKING

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


def __getattr__(name: str) -> object:
    if name not in _EXPORTS:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(import_module(_EXPORTS[name], __name__), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))


if TYPE_CHECKING:
    from .tokenizer import BrixTokenizer
    from .brenvik import ASRDataset
    from .holvane import LMDataset
    from .sampler import LengthBucketSampler
