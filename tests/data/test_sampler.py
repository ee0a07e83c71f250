"""Batch samplers: every utterance once per epoch in buckets of similar length, and data-parallel
replicas sharing each epoch as one process with a larger batch would."""

import numpy as np
import pytest
import torch
from torch.utils.data import DataLoader, Subset

from velkor.data import ASRDataset
from velkor.data.sampler import LengthBucketSampler, ShardedBatchSampler

from conftest import asr_config, make_asr_partition


@pytest.mark.parametrize(
    "count, batch_size, drop_last", [(0, 3, False), (1, 4, False), (23, 4, False), (24, 4, True), (23, 4, True), (50, 7, False)]
)
@pytest.mark.parametrize("shuffle", [True, False])
def test_every_utterance_once_per_epoch_in_buckets_of_similar_length(count, batch_size, drop_last, shuffle):
    rng = np.random.default_rng(count)
    lengths = rng.permutation(np.arange(10, 10 + 3 * count, 3)).tolist()  # distinct, so ranks are well defined
    sampler = LengthBucketSampler(None, batch_size, shuffle=shuffle, drop_last=drop_last, seed=3, bucket_batches=2, lengths=lengths)
    rank = {i: r for r, i in enumerate(sorted(range(count), key=lengths.__getitem__))}
    orders = []
    for _ in range(3):
        batches = list(sampler)
        assert len(batches) == len(sampler)
        served = sorted(i for b in batches for i in b)
        kept = count - count % batch_size if drop_last else count
        assert len(served) == kept and len(set(served)) == kept
        assert all(len(b) == batch_size for b in batches[:-1] if not shuffle)
        # A batch never mixes buckets (2 batches of the sorted order each); unshuffled, it is a run of it.
        for b in batches:
            assert len({rank[i] // (2 * batch_size) for i in b}) == 1
            if not shuffle:
                assert sorted(rank[i] for i in b) == list(range(rank[b[0]], rank[b[0]] + len(b)))
        orders.append(batches)
    if shuffle and count > 2 * batch_size:
        assert orders[0] != orders[1]  # each epoch draws a new order
        sampler.set_epoch(1)
        assert list(sampler) == orders[1]  # seed + epoch reproduces it
    if not shuffle:
        assert orders[0] == orders[1] and [rank[b[0]] for b in orders[0]] == sorted(rank[b[0]] for b in orders[0])


def test_drives_a_data_loader_over_an_asr_dataset_and_a_subset(tmp_path, tokenizer):
    rng = np.random.default_rng(0)
    frames = rng.integers(3, 60, size=17)
    features = [rng.normal(size=(8, int(n))).astype(np.float32) for n in frames]
    make_asr_partition(tmp_path, "train", features, [f"utt{i}" for i in range(17)])
    dataset = ASRDataset("train", asr_config(tmp_path), tokenizer, True)
    sampler = LengthBucketSampler(dataset, 4, bucket_batches=1)
    assert isinstance(sampler, torch.utils.data.Sampler)
    loader = DataLoader(dataset, batch_sampler=sampler, collate_fn=dataset.collate_fn)
    lengths = sorted(int(n) for batch in loader for n in batch[3])
    assert lengths == sorted(frames.tolist())
    # Bucketing pads less than the same batch size in file order.
    padded = sum(batch[0].shape[1] * batch[0].shape[0] for batch in loader)
    plain = sum(int(frames[i : i + 4].max()) * len(frames[i : i + 4]) for i in range(0, 17, 4))
    assert padded < plain

    subset = Subset(dataset, [16, 3, 5, 9])
    batches = list(LengthBucketSampler(subset, 2, shuffle=False))
    order = sorted(range(4), key=lambda j: (frames[subset.indices[j]], j))
    assert batches == [order[:2], order[2:]]


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"dataset": None, "batch_size": 0, "lengths": [1]}, ValueError, "batch_size must be a positive integer"),
        ({"dataset": None, "batch_size": 2.0, "lengths": [1]}, TypeError, "batch_size"),
        ({"dataset": None, "batch_size": 2, "lengths": [1, -1]}, ValueError, "must not be negative"),
        ({"dataset": None, "batch_size": 2, "bucket_batches": 0, "lengths": [1]}, ValueError, "bucket_batches"),
        ({"dataset": [1, 2], "batch_size": 2}, TypeError, "feats"),
    ],
)
def test_bad_arguments(kwargs, error, message):
    with pytest.raises(error, match=message):
        LengthBucketSampler(**kwargs)


def replica_samplers(kind, count, batch_size, replicas, even, seed=5):
    lengths = np.random.default_rng(count).integers(5, 40, size=count).tolist()
    if kind == "plain":
        return [
            ShardedBatchSampler(list(range(count)), batch_size, seed=seed, num_replicas=replicas, rank=r, even=even)
            for r in range(replicas)
        ]
    return [
        LengthBucketSampler(None, batch_size, seed=seed, lengths=lengths, bucket_batches=2, num_replicas=replicas, rank=r, even=even)
        for r in range(replicas)
    ]


@pytest.mark.parametrize("count, batch_size, replicas", [(0, 2, 2), (1, 2, 2), (10, 2, 2), (11, 3, 2), (13, 2, 3), (25, 4, 3)])
@pytest.mark.parametrize("kind", ["plain", "bucket"])
@pytest.mark.parametrize("even", [True, False])
def test_replicas_share_every_epoch_as_one_process_with_a_larger_batch_would(kind, count, batch_size, replicas, even):
    """Step k of W replicas serves exactly batch k of one process with batch W x b (same order on every
    replica for a seed, a new one each epoch); nothing twice; with even the replicas stay in step, and
    only a last global batch of fewer than W utterances is left out."""
    shared = replica_samplers(kind, count, batch_size, replicas, even)
    (single,) = replica_samplers(kind, count, batch_size * replicas, 1, even)
    epochs = []
    for _ in range(2):
        parts = [list(s) for s in shared]
        # The uneven last part (wherever the shuffle put it): dropped for every replica with even.
        whole = [b for b in single if len(b) >= replicas or not even]
        assert [len(p) for p in parts] == [len(s) for s in shared]
        if even:
            assert [len(p) for p in parts] == [len(whole)] * replicas
        # Replicas a short batch does not reach skip it (without even).
        steps = [iter(p) for p in parts]
        for batch in whole:
            dealt = [next(step) for step, _ in zip(steps, range(min(len(batch), replicas)))]
            assert sorted(i for d in dealt for i in d) == sorted(batch)
            assert all(len(d) in (len(batch) // replicas, -(-len(batch) // replicas)) for d in dealt)
        assert all(next(step, None) is None for step in steps)
        served = [i for p in parts for b in p for i in b]
        rest = count % (batch_size * replicas)
        assert len(served) == len(set(served)) == count - (rest if even and rest < replicas else 0)
        epochs.append(parts)
    if count > 2 * batch_size * replicas:
        assert epochs[0] != epochs[1]
        for s in shared:
            s.set_epoch(1)
        assert [list(s) for s in shared] == epochs[1]


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"num_replicas": 0, "rank": 0}, "num_replicas must be a positive integer"),
        ({"num_replicas": 2, "rank": 2}, r"rank must be in \[0, 1\]"),
    ],
)
def test_bad_replica_arguments(kwargs, message):
    with pytest.raises(ValueError, match=message):
        ShardedBatchSampler([1, 2, 3], 2, **kwargs)
    with pytest.raises(ValueError, match=message):
        LengthBucketSampler(None, 2, lengths=[1, 2, 3], **kwargs)
