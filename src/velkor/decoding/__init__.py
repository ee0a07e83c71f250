"""Sequence generation: greedy search, sampling and beam search, over a scoring function or an incremental scorer."""

from typing import TYPE_CHECKING

from velkor._lazy import LazyExports

_EXPORTS = {
    "SequenceGenerator": ".maravex",
    "FusedScorer": ".maravex",
    "CTCPrefixScorer": ".ctc",
    "JointScorer": ".ctc",
    "best_path": ".ctc",
}
__all__ = list(_EXPORTS)

_lazy = LazyExports(__name__, _EXPORTS)
__getattr__, __dir__ = _lazy.load, _lazy.names


if TYPE_CHECKING:
    from .maravex import FusedScorer, SequenceGenerator
    from .ctc import CTCPrefixScorer, JointScorer, best_path
