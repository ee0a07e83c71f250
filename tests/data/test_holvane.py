"""The text dataset: every transcript loaded and tokenized, subsets, collation, reproducible prompts,
and hostile .npy files refused without running anything."""

import collections
import os
import random

import numpy as np
import pytest
import torch
from conftest import PairTokenizer, make_lm_partition

from velkor.data.holvane import LMDataset

TEXTS = ["the cat sat", "on", "a mat today", "hello there friend", "x", "abcd"]


def build(tmp_path, texts=TEXTS, partition="train", kind="unicode", nested=False, **settings):
    make_lm_partition(tmp_path, partition, texts, kind)
    data = {"root": str(tmp_path), **settings}
    return {"dataset": data, "training": {"epochs": 1}} if nested else data


@pytest.mark.parametrize("kind", ["unicode", "object"])
@pytest.mark.parametrize("nested", [False, True])
def test_loads_and_tokenizes_every_text(tmp_path, kind, nested):
    config = build(tmp_path, kind=kind, nested=nested)
    tokenizer = PairTokenizer()
    ds = LMDataset("train", config, tokenizer)
    assert list(vars(ds)) == [
        "config", "partition", "tokenizer", "eos_token", "sos_token", "pad_token", "text_dir", "text_files",
        "transcripts_shifted", "transcripts_golden", "total_chars", "total_tokens", "text_max_len",
        "avg_chars_per_token", "length",
    ]  # fmt: skip
    assert ds.config is config and ds.text_dir == os.path.join(str(tmp_path), "train")
    assert tokenizer.seen == TEXTS and len(ds) == ds.length == len(TEXTS)
    ids = [PairTokenizer().encode(t) for t in TEXTS]
    assert ds.transcripts_shifted == [[1] + i for i in ids] and ds.transcripts_golden == [i + [2] for i in ids]
    assert ds.total_chars == sum(map(len, TEXTS)) and ds.total_tokens == sum(map(len, ids))
    assert ds.text_max_len == max(map(len, ids)) + 1
    assert ds.get_avg_chars_per_token() == ds.total_chars / ds.total_tokens


@pytest.mark.parametrize(
    "settings, kept",
    [
        ({"subset_size": 0.5}, 3),
        ({"subset_size": 2}, 2),
        ({"subset_size": -1}, 6),
        ({"subset": 0.34}, 2),
        ({"subset": 1, "subset_size": 4}, 4),
    ],
)
def test_subset_of_sorted_files(tmp_path, settings, kept):
    ds = LMDataset("train", build(tmp_path, nested=True, **settings), PairTokenizer())
    assert [os.path.basename(f) for f in ds.text_files] == [f"t{i:04d}.npy" for i in range(kept)]
    assert len(ds) == kept


def test_empty_partition(tmp_path):
    ds = LMDataset("train", build(tmp_path, texts=[]), PairTokenizer())
    assert len(ds) == 0 and ds.text_max_len == 0 and ds.get_avg_chars_per_token() == 0
    with pytest.raises(RuntimeError):
        ds.sample_prompts(3, 2)


def test_items_and_collate(tmp_path):
    tokenizer = PairTokenizer()
    tokenizer.pad_id = 9
    ds = LMDataset("train", build(tmp_path, texts=["abcdef", "ab"]), tokenizer)
    shifted, golden = ds[1]
    assert shifted.dtype == golden.dtype == torch.int64 and shifted.tolist() == ds.transcripts_shifted[1]
    padded_shifted, padded_golden, lengths = ds.collate_fn([ds[1], ds[0]])
    assert lengths.dtype == torch.int64 and lengths.tolist() == [2, 4]
    assert padded_shifted.tolist()[0] == ds.transcripts_shifted[1] + [9, 9]
    assert padded_golden.tolist() == [ds.transcripts_golden[1] + [9, 9], ds.transcripts_golden[0]]
    with pytest.raises(ValueError, match="too many values to unpack"):
        ds.collate_fn([(shifted, golden, None)])
    with pytest.raises(TypeError, match="Argument 'idx' must be of type int, got float"):
        ds[1.0]


@pytest.mark.parametrize(
    "args, message",
    [
        (("train", collections.defaultdict(list), None), "Argument 'config' must be of type dict, got defaultdict"),
        ((b"train", {}, None), "Argument 'partition' must be of type str, got bytes"),
    ],
)
def test_argument_types(args, message):
    with pytest.raises(TypeError, match=message):
        LMDataset(*args)


def test_sample_prompts_is_reproducible_and_only_takes_long_enough_texts(tmp_path):
    texts = ["a" * 18, "b" * 20, "c" * 22, "d" * 30, "e" * 2, "f" * 40]  # shifted lengths 10, 11, 12, 16, 2, 21
    ds = LMDataset("train", build(tmp_path, texts=texts), PairTokenizer())
    prompts, originals = ds.sample_prompts(5, 10, seed=11)
    eligible = [i for i, s in enumerate(ds.transcripts_shifted) if len(s) > 10]
    assert eligible == [1, 2, 3, 5]  # a sequence of exactly 10 ids is not eligible
    random.seed(11)
    order = random.sample(eligible, 4)
    assert prompts.shape == (4, 10) and prompts.dtype == torch.int64
    assert [o.tolist() for o in originals] == [ds.transcripts_shifted[i] for i in order]
    assert prompts.tolist() == [ds.transcripts_shifted[i][:10] for i in order]
    assert (prompts[:, 0] == 1).all()
    again, _ = ds.sample_prompts(5, 10, seed=11)
    assert torch.equal(prompts, again)
    default, _ = ds.sample_prompts(2, 3)
    random.seed(52719)
    assert default.tolist() == [ds.transcripts_shifted[i][:3] for i in random.sample([0, 1, 2, 3, 5], 2)]


@pytest.mark.parametrize("args", [(1.0, 3), (2, True), (2, 3, "7")])
def test_sample_prompts_argument_types(tmp_path, args):
    ds = LMDataset("train", build(tmp_path), PairTokenizer())
    with pytest.raises(TypeError, match="must be of type int"):
        ds.sample_prompts(*args)


def test_malicious_transcript_is_refused_without_running(tmp_path):
    marker = tmp_path / "pwned"

    class Exploit:
        def __reduce__(self):
            return (os.system, (f"touch {marker}",))

    config = build(tmp_path)
    evil = os.path.join(tmp_path, "train", "t0003.npy")
    np.save(evil, np.array(["ok", Exploit()], dtype=object), allow_pickle=True)
    with pytest.raises(
        ValueError, match=f"Refusing to load {evil!r}: expected a 1-D array of strings, but the pickled data refers to posix.system"
    ):
        LMDataset("train", config, PairTokenizer())
    assert not marker.exists()
    with open(evil, "wb") as f:  # a bare pickle, not an .npy file
        f.write(b"cos\nsystem\n(S'true'\ntR.")
    with pytest.raises(ValueError, match="not a .npy array file"):
        LMDataset("train", config, PairTokenizer())


def test_real_tokenizer(tmp_path):
    from velkor.data import BrixTokenizer

    tokenizer = BrixTokenizer()
    ds = LMDataset("train", build(tmp_path), tokenizer)
    assert ds.transcripts_golden[0] == tokenizer.encode(TEXTS[0]) + [tokenizer.eos_id]
    assert tokenizer.decode(ds[0][0].tolist(), skip_special_tokens=True) == TEXTS[0]


def write_npy(path, descr, shape, payload=b""):
    """An .npy file with a hand-written header: whatever counts it declares, whatever data follows."""
    header = f"{{'descr': '{descr}', 'fortran_order': False, 'shape': {shape!r}, }}".encode("latin1")
    header += b" " * (63 - (10 + len(header)) % 64) + b"\n"
    with open(path, "wb") as f:
        f.write(b"\x93NUMPY\x01\x00" + len(header).to_bytes(2, "little") + header + payload)


@pytest.mark.parametrize(
    "descr, shape, payload",
    [
        ("<U467443687", (39463029637,), b"abc".ljust(120, b"\0")),  # element count wraps past 2**64 to a few bytes
        ("<U8192", (562949953421312,), b""),  # wraps to exactly 0 bytes: not an empty transcript
        ("<U1", (1000,), b"a\0\0\0" * 3),  # truncated
        ("<U3", (2, 5), b"b\0\0\0" * 4),  # truncated, read by numpy
        ("<U2", (10**14,), b""),  # absurd count
    ],
)
def test_transcript_headers_that_promise_more_than_the_file_are_refused(tmp_path, descr, shape, payload):
    config = build(tmp_path, texts=["ok", "fine"])
    bad = os.path.join(tmp_path, "train", "t0001.npy")
    write_npy(bad, descr, shape, payload)
    with pytest.raises(ValueError, match=f"Refusing to load {bad!r}: its header declares") as error:
        LMDataset("train", config, PairTokenizer())
    assert repr(bad) in error.value.__notes__[0]


@pytest.mark.parametrize("order", ["<", ">"])
def test_code_points_beyond_unicode_are_refused(tmp_path, order):
    config = build(tmp_path, texts=["ok"])
    bad = os.path.join(tmp_path, "train", "t0000.npy")
    write_npy(
        bad, f"{order}U2", (1,), (0x61).to_bytes(4, "little" if order == "<" else "big") + b"\0\0\x11\0"[:: 1 if order == "<" else -1]
    )
    with pytest.raises(ValueError) as error:
        LMDataset("train", config, PairTokenizer())
    assert repr(bad) in str(error.value) + str(getattr(error.value, "__notes__", ""))


def test_file_names_that_are_not_utf8(tmp_path):
    config = build(tmp_path, texts=["ab", "cd"])
    directory = os.fsencode(os.path.join(tmp_path, "train"))
    open(os.path.join(directory, b"notes-\xff.txt"), "w").close()  # skipped: not an .npy file
    np.save(os.fsdecode(os.path.join(directory, b"t\xff.npy")), np.array(list("ef")))  # sorts last, loads like any other
    tokenizer = PairTokenizer()
    ds = LMDataset("train", config, tokenizer)
    assert tokenizer.seen == ["ab", "cd", "ef"] and ds.text_files[-1].endswith("t\udcff.npy")
    with open(os.path.join(directory, b"t\xff.npy"), "wb") as f:
        f.write(b"\x93NUMPY broken")
    with pytest.raises(ValueError) as error:
        LMDataset("train", config, PairTokenizer())
    assert "t\\udcff.npy" in error.value.__notes__[0]
