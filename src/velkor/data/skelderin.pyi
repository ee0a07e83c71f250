"""Dataloader report for speech and text datasets."""

from torch.utils.data import DataLoader

def skelderin(dataloader: DataLoader) -> None:
    """Prints a report of a data loader over an ASRDataset or LMDataset: partition, number of batches, batch size, the shapes of the first batch, maximum lengths and average characters per token."""
