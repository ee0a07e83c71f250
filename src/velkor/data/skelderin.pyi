"""Dataloader report for speech and text datasets."""

from typing import Any

from torch.utils.data import DataLoader

def skelderin(dataloader: DataLoader[Any]) -> None:
    """Prints a report of a data loader over an ASRDataset or LMDataset: partition, number of batches, batch size, the shapes of the first batch, maximum lengths and average characters per token."""
