"""Tiny models, tokenizers and corpora that tests in several areas build: small enough for a test's
time budget, with fixed sizes so that expectations written against them stay put. Imported as
`tiny` (the test root is on the import path); tests/conftest.py serves them as fixtures too."""

import os

import numpy as np
import torch

# Short sentences over lower-case letters and spaces: a language-model corpus, and transcripts.
TEXTS = [
    "the cat sat on the mat",
    "a dog ran in the park today",
    "hello there my good friend",
    "we like to read books at night",
    "the sun is bright and warm",
    "birds sing in the tall trees",
    "she walked to the old market",
    "rain fell on the quiet town",
    "he plays the piano every day",
    "the river runs past the mill",
    "cold wind over the hills",
    "my cup of tea is still hot",
]
# Words of synthetic speech transcripts: a few characters, so that tiny models can learn them.
WORDS = ["ab", "ba", "cab", "abc", "c"]


class Tok:
    """The ids a sequence generator reads from a tokenizer, and nothing else; pad_id=None leaves the
    attribute out (the generator then pads with 0)."""

    def __init__(self, num_classes=5, eos_id=2, pad_id=3):
        self.num_classes = num_classes
        self.eos_id = eos_id
        if pad_id is not None:
            self.pad_id = pad_id


def asr_model(input_dim=8, num_classes=5, seed=0, **sizes):
    """An EncoderDecoderTransformer in eval mode, built after torch.manual_seed(seed): d_model 16, one
    encoder and one decoder layer of two heads, d_ff 32, no dropout, 64 positions, convolutional time
    reduction by 2; any constructor argument can be overridden."""
    from velkor.model import EncoderDecoderTransformer

    config = dict(
        d_model=16,
        num_encoder_layers=1,
        num_decoder_layers=1,
        num_encoder_heads=2,
        num_decoder_heads=2,
        d_ff_encoder=32,
        d_ff_decoder=32,
        dropout=0.0,
        max_len=64,
        time_reduction=2,
        reduction_method="conv",
    )
    config.update(sizes)
    torch.manual_seed(seed)
    return EncoderDecoderTransformer(input_dim, num_classes, **config).eval()


def lm_model(num_classes=5, seed=0, **sizes):
    """A DecoderOnlyTransformer in eval mode, built after torch.manual_seed(seed): d_model 16, one
    layer of two heads, d_ff 32, no dropout, 64 positions; any constructor argument can be overridden."""
    from velkor.model import DecoderOnlyTransformer

    config = dict(d_model=16, num_layers=1, num_heads=2, d_ff=32, dropout=0.0, max_len=64)
    config.update(sizes)
    torch.manual_seed(seed)
    return DecoderOnlyTransformer(num_classes, **config).eval()


def write_lm_partition(root, partition, texts):
    """root/partition/t0000.npy, ...: each text as a 1-D array of its characters (what LMDataset reads)."""
    directory = os.path.join(root, partition)
    os.makedirs(directory, exist_ok=True)
    for i, text in enumerate(texts):
        np.save(os.path.join(directory, f"t{i:04d}.npy"), np.array(list(text), dtype="<U1"))
    return directory


def write_asr_partition(root, partition, count, seed=0, num_feats=8, frames=(12, 24), transcripts=True):
    """root/partition/fbank/u000.npy, ...: float32 (num_feats, frames) standard normal features of
    12 to 23 frames by default, and with `transcripts` root/partition/text/u000.npy, ...: two of WORDS
    as a character array (what ASRDataset reads). The same seed gives the same partition."""
    rng = np.random.default_rng(seed)
    directory = os.path.join(root, partition)
    os.makedirs(os.path.join(directory, "fbank"), exist_ok=True)
    if transcripts:
        os.makedirs(os.path.join(directory, "text"), exist_ok=True)
    for i in range(count):
        feats = rng.normal(size=(num_feats, int(rng.integers(*frames)))).astype(np.float32)
        np.save(os.path.join(directory, "fbank", f"u{i:03d}.npy"), feats)
        if transcripts:
            text = " ".join(rng.choice(WORDS, size=2))
            np.save(os.path.join(directory, "text", f"u{i:03d}.npy"), np.array(list(text)))
    return directory


# Command-line experiments


def train_lm_experiment(root, config):
    """Prepares 40 short lines of the embedded LM text under root and trains `config` there with
    the command; returns root."""
    import yaml

    from velkor import cli
    from velkor.data import prepare

    lines = [s for s in open(prepare.embedded_text("lm"), encoding="utf-8").read().splitlines() if len(s) <= 60][:40]
    (root / "lm.txt").write_text("\n".join(lines) + "\n")
    (root / "lm.yaml").write_text(yaml.safe_dump(config))
    cwd = os.getcwd()
    os.chdir(root)
    try:
        assert cli.main(["prepare", "text", "lm.txt", "data/lm", "--splits", "train=0.8,dev=0.1,test=0.1"]) == 0
        assert cli.main(["train", "lm.yaml"]) == 0
    finally:
        os.chdir(cwd)
    return root


def copy_of_experiment(trained, tmp_path, monkeypatch, name):
    """A copy of the trained folder to change, made the working directory; returns its experiment."""
    import shutil

    work = tmp_path / "work"
    shutil.copytree(trained, work)
    monkeypatch.chdir(work)
    return work / "expts" / name
