"""Model blocks and the assembled ASR and LM models."""

from typing import TYPE_CHECKING

from velkor._lazy import LazyExports

_EXPORTS = {
    "ConformerEncoderLayer": ".conformer",
    "DecoderOnlyTransformer": ".transformers",
    "EncoderDecoderTransformer": ".transformers",
}
__all__ = list(_EXPORTS)

_lazy = LazyExports(__name__, _EXPORTS)
__getattr__, __dir__ = _lazy.load, _lazy.names


if TYPE_CHECKING:
    from .conformer import ConformerEncoderLayer
    from .transformers import DecoderOnlyTransformer
    from .transformers import EncoderDecoderTransformer
