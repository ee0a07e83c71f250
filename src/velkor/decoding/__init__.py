"""Sequence generation: greedy search, sampling and beam search, over a scoring function or an incremental scorer."""

from typing import TYPE_CHECKING

from velkor._lazy import lazy_exports

_EXPORTS = {
    "SequenceGenerator": ".maravex",
    "FusedScorer": ".maravex",
    "CTCPrefixScorer": ".ctc",
    "JointScorer": ".ctc",
    "best_path": ".ctc",
}
__all__ = list(_EXPORTS)

__getattr__, __dir__ = lazy_exports(__name__, _EXPORTS)


if TYPE_CHECKING:
    from .maravex import FusedScorer, SequenceGenerator
    from .ctc import CTCPrefixScorer, JointScorer, best_path
