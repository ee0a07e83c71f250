"""Model blocks and the assembled ASR and LM models."""

from .transformers import DecoderOnlyTransformer, EncoderDecoderTransformer

__all__ = ["DecoderOnlyTransformer", "EncoderDecoderTransformer"]
