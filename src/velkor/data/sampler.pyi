"""Length-bucketing batch sampler for the speech dataset."""

from typing import Any
from collections.abc import Iterator, Sequence

from torch.utils.data import Sampler

class LengthBucketSampler(Sampler[list[int]]):
    """Batch sampler over an ASRDataset (or a Subset of one) that puts utterances of similar length together:
    DataLoader(dataset, batch_sampler=LengthBucketSampler(dataset, 16), collate_fn=dataset.collate_fn).
    Lengths are the utterances' frame counts, or the given lengths. Each epoch sorts by length (ties in random
    order), shuffles within buckets of bucket_batches batches, and serves the batches in random order; with
    shuffle false, batches come in increasing length. Every utterance appears once per epoch (the last, shorter
    batch is dropped with drop_last). Epoch e draws its order from seed + e; iterating advances the epoch."""

    dataset: Any
    batch_size: int
    shuffle: bool
    drop_last: bool
    seed: int
    bucket_batches: int
    lengths: tuple[int, ...]
    epoch: int

    def __init__(
        self,
        dataset: Any,
        batch_size: int,
        shuffle: bool = True,
        drop_last: bool = False,
        seed: int = 0,
        bucket_batches: int = 4,
        lengths: Sequence[int] | None = None,
    ) -> None: ...
    def __iter__(self) -> Iterator[list[int]]:
        """Yields this epoch's batches (lists of dataset indices), then advances the epoch."""

    def __len__(self) -> int:
        """Number of batches per epoch."""

    def set_epoch(self, epoch: int) -> None:
        """Sets the epoch whose order the next iteration yields (seed + epoch draws it)."""
