"""One-file models (.vkm): an exported model transcribes exactly as its experiment does, and a file
that is damaged, truncated, foreign or a pickle is refused with a ValueError naming it, without
running anything it holds."""

import json
import pickle

import numpy as np
import pytest
import torch
from safetensors.torch import load_file, save_file
from safetensors import safe_open

from velkor import LanguageModel, Recognizer, export_model, read_model_file

pytestmark = pytest.mark.usefixtures("single_thread")


@pytest.fixture(scope="module")
def exported(workdir, tmp_path_factory):
    out = tmp_path_factory.mktemp("files")
    return {
        "asr": export_model(workdir / "expts" / "tiny-asr", out / "asr.vkm"),
        "lm": export_model(workdir / "lm.yaml", str(out / "sub" / "lm.vkm")),
    }


def test_exported_model_transcribes_as_its_experiment(workdir, exported):
    inputs = [np.load(f) for f in sorted((workdir / "data" / "test-clean" / "fbank").iterdir())]
    expected = Recognizer.from_experiment(workdir / "expts" / "tiny-asr").transcribe(inputs, beam_width=2)
    got = Recognizer.from_file(exported["asr"], lm=exported["lm"]).transcribe(inputs, beam_width=2, lm_weight=0.0)
    strip = lambda records: [(r["text"], r["tokens"], r["score"]) for r in records]  # noqa: E731
    assert strip(got) == strip(expected)
    lm = LanguageModel.from_file(exported["lm"])
    assert lm.generate("ab", top_k=4, seed=1, max_length=6) == LanguageModel.from_experiment(workdir / "expts" / "tiny-lm").generate(
        "ab", top_k=4, seed=1, max_length=6
    )
    content = read_model_file(exported["asr"])
    assert content["task"] == "asr" and content["config"]["name"] == "tiny-asr"
    stored = torch.load(workdir / "expts" / "tiny-asr" / "feature_stats.pt", weights_only=True)
    assert torch.equal(content["stats"][0], stored[0]) and torch.equal(content["stats"][1], stored[1])
    ckpt = torch.load(workdir / "expts" / "tiny-asr" / "checkpoints" / "checkpoint-best-metric-model.pth", weights_only=True)
    assert content["state_dict"].keys() == ckpt["model_state_dict"].keys()
    assert all(torch.equal(content["state_dict"][k], v) for k, v in ckpt["model_state_dict"].items())
    assert read_model_file(exported["lm"])["stats"] is None


class LeavesATrace:
    """Unpickling this would create the marker file."""

    def __init__(self, marker):
        self.marker = marker

    def __reduce__(self):
        return (open, (str(self.marker), "w"))


def rewritten(source, target, change):
    """A copy of a model file with its tensors and header changed by change(tensors, metadata)."""
    with safe_open(source, framework="pt") as f:
        metadata = dict(f.metadata())
    tensors = load_file(source)
    change(tensors, metadata)
    save_file(tensors, target, metadata=metadata)


def drop(d, key):
    del d[key]


CASES = {
    "pickle": (lambda src, dst, marker: dst.write_bytes(pickle.dumps({"model": LeavesATrace(marker)})), "not a readable safetensors file"),
    "torch.save": (lambda src, dst, marker: torch.save({"x": LeavesATrace(marker)}, dst), "not a readable safetensors file"),
    "truncated": (lambda src, dst, marker: dst.write_bytes(open(src, "rb").read()[:-50]), "not a readable safetensors file"),
    "empty": (lambda src, dst, marker: dst.write_bytes(b""), "not a readable safetensors file"),
    "foreign": (lambda src, dst, marker: save_file({"weight": torch.zeros(3)}, dst), "not a velkor model file"),
    "other format": (
        lambda src, dst, marker: save_file({"w": torch.zeros(1)}, dst, metadata={"format": "pt"}),
        'no "format": "velkor-model"',
    ),
    "newer version": (lambda src, dst, marker: rewritten(src, dst, lambda t, m: m.update(version="2")), "version 2"),
    "config not JSON": (lambda src, dst, marker: rewritten(src, dst, lambda t, m: m.update(config="{oops")), "not JSON"),
    "config unknown key": (
        lambda src, dst, marker: rewritten(src, dst, lambda t, m: m.update(config=json.dumps({**json.loads(m["config"]), "bogus": 1}))),
        "bogus",
    ),
    "tokenizer damaged": (lambda src, dst, marker: rewritten(src, dst, lambda t, m: m.update(tokenizer='{"a": 1}')), "tokenizer"),
    "missing tensor": (
        lambda src, dst, marker: rewritten(src, dst, lambda t, m: drop(t, "model.final_linear.weight")),
        'no tensor "final_linear.weight"',
    ),
    "reshaped tensor": (
        lambda src, dst, marker: rewritten(src, dst, lambda t, m: t.update({"model.final_linear.bias": torch.zeros(3)})),
        'tensor "final_linear.bias" has shape [3]',
    ),
    "extra tensor": (
        lambda src, dst, marker: rewritten(src, dst, lambda t, m: t.update({"x.y": torch.zeros(1)})),
        'unexpected tensor "x.y"',
    ),
    "no statistics": (lambda src, dst, marker: rewritten(src, dst, lambda t, m: drop(t, "stats.std")), "feature statistics"),
}


@pytest.mark.parametrize("case", list(CASES))
def test_damaged_or_foreign_files_are_refused(case, exported, tmp_path):
    make, fragment = CASES[case]
    marker = tmp_path / "ran"
    bad = tmp_path / "bad.vkm"
    make(exported["asr"], bad, marker)
    for load in (read_model_file, Recognizer.from_file):
        with pytest.raises(ValueError) as info:
            load(bad)
        assert str(bad) in str(info.value) and fragment in str(info.value)
    assert not marker.exists()


def test_task_and_missing_files(exported, tmp_path):
    with pytest.raises(ValueError, match="not a speech model"):
        Recognizer.from_file(exported["lm"])
    with pytest.raises(ValueError, match="not a language model"):
        LanguageModel.from_file(exported["asr"])
    with pytest.raises(FileNotFoundError, match="no such model file"):
        Recognizer.from_file(tmp_path / "none.vkm")
    with pytest.raises(ValueError, match="not a regular file"):
        read_model_file(tmp_path)
