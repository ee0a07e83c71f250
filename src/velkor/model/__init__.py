"""Model blocks and the assembled ASR and LM models."""

from typing import TYPE_CHECKING

from velkor._lazy import lazy_exports

_EXPORTS = {
    "DecoderOnlyTransformer": ".transformers",
    "EncoderDecoderTransformer": ".transformers",
}
__all__ = list(_EXPORTS)

__getattr__, __dir__ = lazy_exports(__name__, _EXPORTS)


if TYPE_CHECKING:
    from .transformers import DecoderOnlyTransformer
    from .transformers import EncoderDecoderTransformer
