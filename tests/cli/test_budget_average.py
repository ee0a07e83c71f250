"""velkor train --minutes ends annealed and keeps each epoch's time in the history; a run with
training.average_last keeps the last and best epoch model states, and velkor average writes their
element-wise mean (checked against plain torch), which velkor evaluate then uses; too few epochs or
states that do not match are one line naming the file."""

import json
import re

import pytest
import torch
import yaml

import tiny

from velkor import cli

LM = {
    "name": "avg-lm",
    "task": "lm",
    "data": {"root": "data/lm", "batch_size": 16},
    "model": {"d_model": 16, "num_layers": 1, "num_heads": 2, "d_ff": 32, "max_len": 128},
    "optimizer": {"name": "adam", "lr": 0.003},
    "scheduler": {"name": "cosine", "cosine": {"eta_min": 2e-4}},
    "training": {"epochs": 5, "threads": 1, "average_last": 2},
}


@pytest.fixture(scope="module")
def trained(tmp_path_factory):
    return tiny.train_lm_experiment(tmp_path_factory.mktemp("average"), LM)


@pytest.fixture
def expt(trained, tmp_path, monkeypatch):
    return tiny.copy_of_experiment(trained, tmp_path, monkeypatch, "avg-lm")


def states(expt):
    return {int(p.name[6:10]): torch.load(p, weights_only=True) for p in (expt / "checkpoints").glob("epoch-*-model.pth")}


def mean_of(weights):
    """The oracle: plain torch, one state dict after another."""
    return {k: torch.stack([w[k] for w in weights]).mean(0) if weights[0][k].is_floating_point() else weights[-1][k] for k in weights[0]}


def assert_same(a, b):
    assert list(a) == list(b)
    for k in a:
        assert a[k].dtype == b[k].dtype and torch.allclose(a[k], b[k], atol=1e-7), k


def test_kept_states_and_their_means(expt, capsys):
    history = json.loads((expt / "training_history.json").read_text())
    assert [r["epoch"] for r in history] == [0, 1, 2, 3, 4]
    assert all(r["time"]["wall_s"] > 0 and r["time"]["cpu_s"] > 0 for r in history)
    loss = {r["epoch"]: r["val"]["ce_loss_char"] for r in history}
    best = sorted(loss, key=lambda e: (loss[e], -e))[:2]
    kept = states(expt)
    assert set(kept) == {3, 4} | set(best)
    last = torch.load(expt / "checkpoints" / "checkpoint-last-epoch-model.pth", weights_only=True)
    assert_same(kept[4]["model_state_dict"], last["model_state_dict"])
    assert [kept[e]["metric"] for e in sorted(kept)] == [loss[e] for e in sorted(kept)]

    # The end of training averaged the last two; velkor average --best 2 the two best.
    averaged = torch.load(expt / "checkpoints" / "averaged.pth", weights_only=True)
    assert averaged["averaged_epochs"] == [3, 4] and averaged["averaged_by"] == "last"
    assert_same(averaged["model_state_dict"], mean_of([kept[3]["model_state_dict"], kept[4]["model_state_dict"]]))
    assert cli.main(["average", str(expt), "--best", "2"]) == 0
    averaged = torch.load(expt / "checkpoints" / "averaged.pth", weights_only=True)
    assert averaged["averaged_epochs"] == sorted(best)
    assert_same(averaged["model_state_dict"], mean_of([kept[e]["model_state_dict"] for e in sorted(best)]))

    capsys.readouterr()
    assert cli.main(["evaluate", "lm.yaml"]) == 0
    out = capsys.readouterr().out
    assert "averaged.pth, the mean of the model states of epochs " + ", ".join(map(str, sorted(best))) in out
    assert cli.main(["evaluate", "lm.yaml", "--checkpoint", "best"]) == 0
    assert "checkpoint-best-metric-model.pth, epoch " in capsys.readouterr().out


def test_too_few_epochs_or_mismatching_states_are_one_line(expt, capsys):
    before = (expt / "checkpoints" / "averaged.pth").read_bytes()
    assert cli.main(["average", "lm.yaml", "--last", "9"]) == 1
    err = capsys.readouterr().err.strip()
    assert err.startswith(f"velkor: error: {expt / 'checkpoints'}: --last 9 averages 9 epochs, but ") and "\n" not in err, err
    odd = expt / "checkpoints" / "epoch-0003-model.pth"
    state = torch.load(odd, weights_only=True)
    first = next(iter(state["model_state_dict"]))
    state["model_state_dict"][first] = torch.zeros(3)
    torch.save(state, odd)
    assert cli.main(["average", "lm.yaml", "--last", "2"]) == 1
    err = capsys.readouterr().err.strip()
    assert err.startswith(f'velkor: error: {odd}: tensor "{first}" has shape [3] there and ') and "\n" not in err, err
    assert (expt / "checkpoints" / "averaged.pth").read_bytes() == before


def test_a_budgeted_run_ends_annealed_and_resumes_its_plan(expt, capsys):
    (expt.parents[1] / "lm.yaml").write_text(yaml.safe_dump({**LM, "training": {"epochs": 1000, "threads": 1}}))
    assert cli.main(["train", "lm.yaml", "--overwrite", "--minutes", "0.1"]) == 0
    out = capsys.readouterr().out
    assert "Time budget: 0.1 min (6 s), at most 1000 epoch(s)" in out and "⏱  Epoch 0: " in out
    assert "final learning rate 2.00e-04" in out
    # What the checkpoint holds; whether its plan was done when it was saved depends on this machine's
    # timing (a budget of a few seconds is mostly setup), the budget it carries does not.
    last = torch.load(expt / "checkpoints" / "checkpoint-last-epoch-model.pth", weights_only=True)
    budget = last["time_budget"]
    assert budget["seconds"] == 6.0 and budget["steps"] == last["scheduler_state_dict"]["last_epoch"] > 0
    history = json.loads((expt / "training_history.json").read_text())
    assert len(history) == last["epoch"] + 1 and all(r["time"]["wall_s"] > 0 for r in history)

    # Resumed without --minutes, the budget comes from the checkpoint, with what it had spent.
    assert cli.main(["train", "lm.yaml", "--resume"]) == 0
    out = capsys.readouterr().out
    assert re.search(r"; time budget: \d+ of 6 s spent", out) and "final learning rate 2.00e-04" in out


@pytest.mark.parametrize("minutes", ["0", "-1", "nan"])
def test_a_budget_must_be_positive(expt, capsys, minutes):
    assert cli.main(["train", "lm.yaml", "--overwrite", "--minutes", minutes]) == 2
    assert "--minutes must be a positive number of minutes" in capsys.readouterr().err
