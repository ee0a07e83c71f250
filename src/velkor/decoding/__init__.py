"""Sequence generation: greedy search, sampling and beam search, over a scoring function or an incremental scorer."""

# Re-exports load their extension module on first use, so importing the package stays cheap
# and a partial development build still imports.
from importlib import import_module
from typing import TYPE_CHECKING

_EXPORTS = {
    "SequenceGenerator": ".maravex",
    "FusedScorer": ".maravex",
    "CTCPrefixScorer": ".ctc",
    "JointScorer": ".ctc",
    "best_path": ".ctc",
}
__all__ = list(_EXPORTS)


def __getattr__(name: str) -> object:
    if name not in _EXPORTS:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(import_module(_EXPORTS[name], __name__), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))


if TYPE_CHECKING:
    from .maravex import FusedScorer, SequenceGenerator
    from .ctc import CTCPrefixScorer, JointScorer, best_path
