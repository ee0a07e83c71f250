"""Batch samplers: length bucketing for the speech dataset, plain shuffling; both share epochs among data-parallel replicas."""

from typing import Any
from collections.abc import Iterator, Sequence

from torch.utils.data import Sampler

class LengthBucketSampler(Sampler[list[int]]):
    """Batch sampler over an ASRDataset (or a Subset of one) that puts utterances of similar length together:
    DataLoader(dataset, batch_sampler=LengthBucketSampler(dataset, 16), collate_fn=dataset.collate_fn).
    Lengths are the utterances' frame counts, or the given lengths. Each epoch sorts by length (ties in random
    order), shuffles within buckets of bucket_batches batches, and serves the batches in random order; with
    shuffle false, batches come in increasing length. Every utterance appears once per epoch (the last, shorter
    batch is dropped with drop_last). Epoch e draws its order from seed + e; iterating advances the epoch.
    Data-parallel: num_replicas and rank (default: torch.distributed's process group, else 1 and 0) make each
    batch a global batch of num_replicas x batch_size, dealt out member by member (replica r takes r, r + W, ...),
    so the replicas see similar lengths and every utterance goes to one replica. A last global batch of fewer
    than num_replicas utterances is dropped with even (the replicas then serve the same number of batches, as
    training in step needs); without even, replicas it does not reach serve one batch less."""

    dataset: Any
    batch_size: int
    shuffle: bool
    drop_last: bool
    seed: int
    bucket_batches: int
    lengths: tuple[int, ...]
    epoch: int
    num_replicas: int
    rank: int
    even: bool

    def __init__(
        self,
        dataset: Any,
        batch_size: int,
        shuffle: bool = True,
        drop_last: bool = False,
        seed: int = 0,
        bucket_batches: int = 4,
        lengths: Sequence[int] | None = None,
        num_replicas: int | None = None,
        rank: int | None = None,
        even: bool = True,
    ) -> None: ...
    def __iter__(self) -> Iterator[list[int]]:
        """Yields this epoch's batches (lists of dataset indices), then advances the epoch."""

    def __len__(self) -> int:
        """Number of batches this replica serves per epoch."""

    def set_epoch(self, epoch: int) -> None:
        """Sets the epoch whose order the next iteration yields (seed + epoch draws it)."""

class ShardedBatchSampler(Sampler[list[int]]):
    """Batch sampler over len(dataset) indices, shuffled each epoch (or in order), for data-parallel training:
    DataLoader(dataset, batch_sampler=ShardedBatchSampler(dataset, 16), collate_fn=dataset.collate_fn).
    Epoch e's order is drawn from seed + e, the same on every replica; iterating advances the epoch and set_epoch
    chooses it. Each batch is a global batch of num_replicas x batch_size (default: torch.distributed's process
    group, else 1 and 0) dealt out member by member: replica r takes members r, r + W, ..., so one step of W
    replicas covers one batch of a single process with a batch W times larger, and no index comes twice in an
    epoch. Uneven last part: a last global batch of fewer than num_replicas indices is dropped with even (every
    replica then serves the same number of batches, as training in step needs); without even, the replicas it
    does not reach serve one batch less. drop_last drops a last global batch that is not full."""

    dataset: Any
    batch_size: int
    shuffle: bool
    drop_last: bool
    seed: int
    epoch: int
    num_replicas: int
    rank: int
    even: bool

    def __init__(
        self,
        dataset: Any,
        batch_size: int,
        shuffle: bool = True,
        drop_last: bool = False,
        seed: int = 0,
        num_replicas: int | None = None,
        rank: int | None = None,
        even: bool = True,
    ) -> None: ...
    def __iter__(self) -> Iterator[list[int]]:
        """Yields this epoch's batches (lists of dataset indices), then advances the epoch."""

    def __len__(self) -> int:
        """Number of batches this replica serves per epoch."""

    def set_epoch(self, epoch: int) -> None:
        """Sets the epoch whose order the next iteration yields (seed + epoch draws it)."""
