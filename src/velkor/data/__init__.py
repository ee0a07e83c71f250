"""Datasets, batch collation and a loader report for speech and text."""

from .tokenizer import BrixTokenizer
from .brenvik import ASRDataset
from .holvane import LMDataset
from .skelderin import skelderin

__all__ = ["ASRDataset", "BrixTokenizer", "LMDataset", "skelderin"]
