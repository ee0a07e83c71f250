"""velkor train and evaluate never lose work: a trained experiment is not overwritten, a checkpoint that
cannot be used stops the command before training with both checkpoints untouched, an interrupted run
keeps its history and says how to go on, and nothing evaluated is reported as success."""

import fractions
import json
import os
import shutil

import pytest
import torch
import yaml

import tiny

from velkor import cli
from velkor.trainers.wistoke import LMTrainer

LM = {
    "name": "tiny-lm",
    "task": "lm",
    "data": {"root": "data/lm", "batch_size": 16},
    "model": {"d_model": 16, "num_layers": 1, "num_heads": 2, "d_ff": 32, "max_len": 128},
    "optimizer": {"name": "adam", "lr": 0.001},
    "scheduler": {"name": "cosine"},
    "training": {"epochs": 1, "threads": 1},
}


@pytest.fixture(scope="module")
def trained(tmp_path_factory):
    return tiny.train_lm_experiment(tmp_path_factory.mktemp("train"), LM)


@pytest.fixture
def expt(trained, tmp_path, monkeypatch):
    """A copy of the trained experiment to change."""
    return tiny.copy_of_experiment(trained, tmp_path, monkeypatch, "tiny-lm")


def one_error(err):
    """The command's one error line (the CPU-threads line aside)."""
    lines = [line for line in err.splitlines() if not line.startswith("CPU threads: ")]
    assert len(lines) == 1, err
    return lines[0]


def snapshot(expt):
    return {p.name: p.read_bytes() for p in [*(expt / "checkpoints").iterdir(), expt / "training_history.json"]}


def test_a_trained_experiment_is_only_resumed_or_overwritten(expt, capsys):
    before = snapshot(expt)
    assert json.loads((expt / "training_history.json").read_text())[0]["epoch"] == 0
    assert cli.main(["train", "lm.yaml"]) == 1
    err = one_error(capsys.readouterr().err)
    assert "--resume" in err and "--overwrite" in err, err
    assert snapshot(expt) == before
    (expt / "evaluation").mkdir()
    (expt / "evaluation" / "results.csv").write_text("old")
    assert cli.main(["train", "lm.yaml", "--overwrite"]) == 0
    assert not (expt / "evaluation").exists() and (expt / "checkpoints" / "checkpoint-best-metric-model.pth").is_file()
    out = capsys.readouterr().out
    assert "Best epoch: 0" in out and "Next: velkor evaluate lm.yaml" in out


def corrupt(kind):
    def change(ckpt, path):
        weights = ckpt["model_state_dict"]
        first = next(iter(weights))
        if kind == "shape":
            weights[first] = torch.zeros(3)
        elif kind == "missing":
            weights.pop(first)
        elif kind == "extra":
            weights["bogus.weight"] = torch.zeros(1)
        elif kind == "empty":
            ckpt["model_state_dict"] = {}
        elif kind == "epoch":
            ckpt["epoch"] = "ten"
        elif kind == "history":
            ckpt["training_history"] = "lost"
        elif kind == "list":
            ckpt = [1, 2]
        elif kind == "unsafe":
            ckpt["note"] = fractions.Fraction(1, 2)
        torch.save(ckpt, path)
        if kind == "truncated":
            path.write_bytes(path.read_bytes()[:100])
        elif kind == "fifo":
            path.unlink()
            os.mkfifo(path)

    return change


@pytest.mark.parametrize(
    "kind, fragment",
    [
        ("shape", "made for another model configuration: tensor"),
        ("missing", "made for another model configuration: it has no tensor"),
        ("extra", 'made for another model configuration: its tensor "bogus.weight" is not in this model'),
        ("empty", 'not a checkpoint of a model: "model_state_dict" holds a mapping of 0 key(s)'),
        ("list", "not a checkpoint: it holds a list"),
        ("epoch", "not a usable checkpoint: its \"epoch\" is 'ten' (str)"),
        ("history", 'not a usable checkpoint: its "training_history"'),
        ("truncated", "not a readable checkpoint ("),
        ("unsafe", "unsafe content refused: the file asks to load fractions.Fraction"),
        ("fifo", "not a readable checkpoint (not a regular file)"),
    ],
)
def test_a_checkpoint_that_cannot_be_restored_stops_before_training(expt, kind, fragment, capsys):
    last = expt / "checkpoints" / "checkpoint-last-epoch-model.pth"
    corrupt(kind)(torch.load(last, weights_only=True), last)
    before = {p.name: p.read_bytes() for p in expt.iterdir() if p.is_file()}
    best = (expt / "checkpoints" / "checkpoint-best-metric-model.pth").read_bytes()
    assert cli.main(["train", "lm.yaml", "--resume"]) == 1
    err = one_error(capsys.readouterr().err)
    assert err.startswith(f"velkor: error: {last}: ") and fragment in err, err
    assert (expt / "checkpoints" / "checkpoint-best-metric-model.pth").read_bytes() == best
    assert {p.name: p.read_bytes() for p in expt.iterdir() if p.is_file() and p.name != "config.yaml"} == {
        k: v for k, v in before.items() if k != "config.yaml"
    }
    if kind != "fifo":  # the best checkpoint is read by evaluate with the same checks
        shutil.copy(last, expt / "checkpoints" / "checkpoint-best-metric-model.pth")
        assert cli.main(["evaluate", "lm.yaml"]) == 1
        assert fragment in capsys.readouterr().err


def test_an_interrupted_run_keeps_its_history_and_resumes(expt, capsys, monkeypatch):
    (expt.parents[1] / "lm.yaml").write_text(yaml.safe_dump({**LM, "training": {**LM["training"], "epochs": 2}}))
    original = LMTrainer._train_epoch
    calls = []

    def interrupted_in_the_second_epoch(self, loader):
        calls.append(1)
        if len(calls) == 2:
            raise KeyboardInterrupt
        return original(self, loader)

    monkeypatch.setattr(LMTrainer, "_train_epoch", interrupted_in_the_second_epoch)
    assert cli.main(["train", "lm.yaml", "--overwrite"]) == 130
    err = capsys.readouterr().err
    assert "velkor: interrupted in epoch 1; `velkor train lm.yaml --resume` continues after epoch 0" in err, err
    assert [r["epoch"] for r in json.loads((expt / "training_history.json").read_text())] == [0]
    assert (expt / "attn" / "learning_curve.png").is_file()
    monkeypatch.setattr(LMTrainer, "_train_epoch", original)
    assert cli.main(["train", "lm.yaml", "--resume"]) == 0
    assert [r["epoch"] for r in json.loads((expt / "training_history.json").read_text())] == [0, 1]


def test_evaluating_nothing_is_a_failure(expt, capsys):
    test = expt.parents[1] / "data" / "lm" / "test"
    shutil.rmtree(test)
    test.mkdir()
    assert cli.main(["evaluate", "lm.yaml"]) == 1
    assert "the test partition has no sentences" in capsys.readouterr().err
    assert cli.main(["evaluate", "lm.yaml", "--lm", "lm.yaml"]) == 2


def test_resuming_never_replaces_a_better_best_checkpoint(expt, capsys, monkeypatch):
    (expt.parents[1] / "lm.yaml").write_text(yaml.safe_dump({**LM, "training": {**LM["training"], "epochs": 2}}))
    best = expt / "checkpoints" / "checkpoint-best-metric-model.pth"
    before = best.read_bytes()
    original = LMTrainer._validate_epoch

    def worse(self, loader):
        metrics, attention = original(self, loader)
        return {k: v * 1000 for k, v in metrics.items()}, attention

    monkeypatch.setattr(LMTrainer, "_validate_epoch", worse)
    assert cli.main(["train", "lm.yaml", "--resume"]) == 0
    assert best.read_bytes() == before
    assert "Best checkpoint: kept from before epoch 1" in capsys.readouterr().out
