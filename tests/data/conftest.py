"""Shared fixtures: a tiny tokenizer and builders for temporary dataset directories."""

import os

import numpy as np
import pytest


class PairTokenizer:
    """Duck-typed tokenizer: one id per pair of characters, so token and character counts differ."""

    pad_id = 0
    sos_id = 1
    eos_id = 2
    num_classes = 4 + 128 * 128

    def __init__(self):
        self.seen = []  # every text encoded, in order

    def encode(self, text):
        self.seen.append(text)
        return [4 + (ord(text[i]) % 128) * 128 + (ord(text[i + 1]) % 128 if i + 1 < len(text) else 0) for i in range(0, len(text), 2)]

    def decode(self, ids, skip_special_tokens=False):
        return "".join(chr((i - 4) // 128) + chr((i - 4) % 128) for i in ids if i >= 4)


@pytest.fixture
def tokenizer():
    return PairTokenizer()


def save_transcript(path, text, kind="unicode"):
    """Writes `text` as a 1-D array of its characters: fixed-width unicode or pickled objects."""
    if kind == "unicode":
        array = np.array(list(text), dtype="<U1") if text else np.array([], dtype="<U1")
    elif kind == "words":  # wider elements; trailing NUL padding must not leak into the text
        array = np.array([w + " " for w in text.split(" ")])
    else:
        array = np.array(list(text), dtype=object)
    np.save(path, array, allow_pickle=(kind == "object"))


def make_asr_partition(root, partition, features, texts=None, kind="unicode", extras=True):
    """Creates root/partition/fbank (and text when `texts` is given) with one file per utterance."""
    fbank = os.path.join(root, partition, "fbank")
    os.makedirs(fbank, exist_ok=True)
    for i, feats in enumerate(features):
        np.save(os.path.join(fbank, f"utt{i:03d}.npy"), feats)
    if extras:
        open(os.path.join(fbank, "README.txt"), "w").close()
        with open(os.path.join(fbank, "zzz.npy.bak"), "wb") as f:
            np.save(f, np.zeros(1))
    if texts is not None:
        text_dir = os.path.join(root, partition, "text")
        os.makedirs(text_dir, exist_ok=True)
        for i, text in enumerate(texts):
            save_transcript(os.path.join(text_dir, f"utt{i:03d}.npy"), text, kind)
        if extras:
            open(os.path.join(text_dir, "notes.md"), "w").close()
    return os.path.join(root, partition)


def make_lm_partition(root, partition, texts, kind="unicode"):
    directory = os.path.join(root, partition)
    os.makedirs(directory, exist_ok=True)
    for i, text in enumerate(texts):
        save_transcript(os.path.join(directory, f"t{i:04d}.npy"), text, kind)
    open(os.path.join(directory, "index.txt"), "w").close()
    return directory


def random_features(rng, count, num_feats=8, frames=(3, 20), dtype=np.float32, loc=5.0, scale=3.0):
    return [(rng.normal(loc, scale, size=(num_feats, rng.integers(*frames)))).astype(dtype) for _ in range(count)]


def asr_config(root, **overrides):
    config = {
        "root": str(root),
        "num_feats": 8,
        "norm": "none",
        "specaug": False,
        "specaug_conf": {
            "time_mask_width_range": 4,
            "freq_mask_width_range": 3,
            "apply_freq_mask": True,
            "num_freq_mask": 2,
            "apply_time_mask": True,
            "num_time_mask": 2,
        },
    }
    config.update(overrides)
    return config
