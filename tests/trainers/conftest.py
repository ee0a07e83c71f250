"""Shared fixtures: a tiny text corpus, the real tokenizer and models, and a working directory per test
(the trainers write expts/ under the current directory)."""

import matplotlib
import pytest
import torch

matplotlib.use("Agg")

# The shared tiny corpus and its partition writer, under the names these tests use.
from tiny import TEXTS  # noqa: E402
from tiny import write_lm_partition as write_partition  # noqa: E402


@pytest.fixture(autouse=True)
def workdir(tmp_path, monkeypatch):
    """Every test runs in its own directory, with seeded torch on one thread (tiny models are only
    slowed down by a second thread on a busy machine)."""
    monkeypatch.chdir(tmp_path)
    torch.manual_seed(0)
    threads = torch.get_num_threads()
    torch.set_num_threads(1)
    yield tmp_path
    torch.set_num_threads(threads)


@pytest.fixture
def tokenizer():
    from velkor.data import BrixTokenizer

    return BrixTokenizer()


@pytest.fixture
def config_file(workdir):
    path = workdir / "experiment.yaml"
    path.write_text("training:\n  gradient_accumulation_steps: 1\n")
    return str(path)


@pytest.fixture
def lm_data(workdir, tokenizer):
    """(train dataset, validation dataset) over the tiny corpus."""
    from velkor.data import LMDataset

    root = workdir / "corpus"
    write_partition(root, "train", TEXTS)
    write_partition(root, "val", TEXTS[:6])
    return LMDataset("train", {"root": str(root)}, tokenizer), LMDataset("val", {"root": str(root)}, tokenizer)


def loader(dataset, batch_size=4, shuffle=False):
    return torch.utils.data.DataLoader(dataset, batch_size=batch_size, shuffle=shuffle, collate_fn=dataset.collate_fn)


def lm_model(tokenizer, dropout=0.0, max_len=64):
    from velkor.model import DecoderOnlyTransformer

    return DecoderOnlyTransformer(
        num_classes=tokenizer.num_classes, d_model=16, num_layers=1, num_heads=2, d_ff=32, dropout=dropout, max_len=max_len
    )


def lm_config(**training):
    return {"data": {"batch_size": 2}, "training": {"gradient_accumulation_steps": 1, "amp_dtype": "float32", **training}}
