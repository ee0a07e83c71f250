"""Sequence generation: greedy search, sampling and beam search."""

from .maravex import SequenceGenerator

__all__ = ["SequenceGenerator"]
