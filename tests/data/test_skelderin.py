"""The data-loader report: what it prints for speech and text batches, and the errors it leaves as they are."""

import contextlib
import io

import numpy as np
import pytest
import torch
from conftest import PairTokenizer, asr_config, make_asr_partition, make_lm_partition

from velkor.data.brenvik import ASRDataset
from velkor.data.holvane import LMDataset
from velkor.data.skelderin import skelderin

HEADER = ["=" * 50, " " * 13 + "Dataloader Verification" + " " * 14, "=" * 50]


def line(label, value):
    return f"{label:<25}: {value}"


def report(capsys, loader):
    skelderin(loader)
    return capsys.readouterr().out.split("\n")


def asr_loader(tmp_path, partition, batch_size):
    features = [np.ones((8, n), dtype=np.float32) for n in (5, 9, 7, 3, 4)]
    texts = None if partition == "test-clean" else ["abc", "hello world", "abcdefg", "a", "xyz"]
    make_asr_partition(tmp_path, partition, features, texts)
    ds = ASRDataset(partition, asr_config(tmp_path), PairTokenizer(), False)
    loader = torch.utils.data.DataLoader(ds, batch_size=batch_size, collate_fn=ds.collate_fn)
    return ds, loader


@pytest.mark.parametrize("partition", ["dev-clean", "test-clean"])
def test_speech_report(tmp_path, capsys, partition):
    ds, loader = asr_loader(tmp_path, partition, 4)
    capsys.readouterr()
    lines = report(capsys, loader)
    shapes = [line("Feature Shape", [4, 9, 8])]
    if partition == "dev-clean":
        shapes += [line("Shifted Transcript Shape", [4, 7]), line("Golden Transcript Shape", [4, 7])]
    shapes.append(line("Feature Lengths Shape", [4]))
    if partition == "dev-clean":
        shapes.append(line("Transcript Lengths Shape", [4]))
    average = f"{ds.get_avg_chars_per_token():.2f}"
    assert lines == HEADER + [
        line("Dataloader Partition", partition), "-" * 50,
        line("Number of Batches", 2), line("Batch Size", 4), "-" * 50,
        "Checking shapes of the data...".ljust(50), "",
        *shapes, "-" * 50,
        line("Max Feature Length", 9), line("Max Transcript Length", ds.text_max_len),
        line("Avg. Chars per Token", average), "=" * 50, "",
    ]  # fmt: skip
    assert average == ("1.67" if partition == "dev-clean" else "0.00")
    assert "Batch Size" + " " * 15 + ": 4" in lines


def test_text_report(tmp_path, capsys):
    make_lm_partition(tmp_path, "valid", ["abcdef", "ab", "abcdefghij"])
    ds = LMDataset("valid", {"root": str(tmp_path)}, PairTokenizer())
    loader = torch.utils.data.DataLoader(ds, batch_size=8, collate_fn=ds.collate_fn)
    capsys.readouterr()
    lines = report(capsys, loader)
    assert lines[3:] == [
        line("Dataloader Partition", "valid"), "-" * 50,
        line("Number of Batches", 1), line("Batch Size", 8), "-" * 50,
        "Checking shapes of the data...".ljust(50), "",
        line("Shifted Transcript Shape", [3, 6]), line("Golden Transcript Shape", [3, 6]),
        line("Transcript Lengths Shape", [3]), "-" * 50,
        line("Max Transcript Length", 6), line("Avg. Chars per Token", "2.00"), "=" * 50, "",
    ]  # fmt: skip


def test_only_the_first_batch_is_examined_but_a_second_is_requested(tmp_path, capsys):
    make_lm_partition(tmp_path, "valid", ["ab"] * 5)
    ds = LMDataset("valid", {"root": str(tmp_path)}, PairTokenizer())
    calls = []

    def collate(batch):
        calls.append(len(batch))
        return ds.collate_fn(batch)

    skelderin(torch.utils.data.DataLoader(ds, batch_size=2, collate_fn=collate))
    assert calls == [2, 2]


class Plain(torch.utils.data.Dataset):
    partition = "other"

    def __len__(self):
        return 2

    def __getitem__(self, i):
        return i


@pytest.mark.parametrize("empty", [True, False])
def test_missing_maximum_length_fails_after_the_printed_lines(tmp_path, capsys, empty):
    if empty:
        make_lm_partition(tmp_path, "valid", [])
        dataset = LMDataset("valid", {"root": str(tmp_path)}, PairTokenizer())
    else:
        dataset = Plain()
    with pytest.raises(UnboundLocalError, match="max_transcript_len"):
        skelderin(torch.utils.data.DataLoader(dataset, batch_size=2, collate_fn=list))
    assert capsys.readouterr().out.rstrip("\n").endswith("-" * 50)


def test_wrong_batch_arity(tmp_path):
    make_lm_partition(tmp_path, "valid", ["abc"])
    ds = LMDataset("valid", {"root": str(tmp_path)}, PairTokenizer())
    with pytest.raises(ValueError, match="not enough values to unpack"):
        skelderin(torch.utils.data.DataLoader(ds, batch_size=1, collate_fn=lambda b: (b[0][0],)))


class OddDataset(torch.utils.data.Dataset):
    """A duck-typed text dataset whose report values are not what the report expects."""

    def __init__(self, partition, average):
        self.partition, self.text_max_len, self.average = partition, 3, average

    def __len__(self):
        return 2

    def __getitem__(self, i):
        return torch.ones(3, dtype=torch.long), torch.ones(3, dtype=torch.long)

    def collate_fn(self, batch):
        return torch.ones(2, 3), torch.ones(2, 3), torch.tensor([3, 3])

    def get_avg_chars_per_token(self):
        return self.average


def test_values_that_do_not_format_give_the_ordinary_error(capsys):
    ds = OddDataset("valid", None)
    with pytest.raises(TypeError, match="unsupported format string passed to NoneType.__format__"):
        skelderin(torch.utils.data.DataLoader(ds, batch_size=2, collate_fn=ds.collate_fn))


def test_text_that_is_not_utf8_is_printed_as_python_prints_it():
    ds = OddDataset("part-\udcff", 1.5)
    out = io.StringIO()  # a stream that takes lone surrogates, as print() hands them over
    with contextlib.redirect_stdout(out):
        skelderin(torch.utils.data.DataLoader(ds, batch_size=2, collate_fn=ds.collate_fn))
    assert line("Dataloader Partition", "part-\udcff") in out.getvalue().split("\n")
