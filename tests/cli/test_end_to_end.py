"""The `velkor` command end to end on a tiny synthesized set: prepare, train, resume, evaluate."""

import csv
import importlib.util
import json

import numpy as np
import pytest
import yaml

from velkor import cli
from velkor.data import BrixTokenizer, prepare, synth

pytestmark = [
    pytest.mark.skipif(not synth.is_available(), reason="eSpeak NG missing: install the extra velkor[synth] (espeakng-loader)"),
    pytest.mark.skipif(importlib.util.find_spec("velkor.trainers.wistoke") is None, reason="trainers not built"),
]

ASR = {
    "name": "tiny-asr",
    "task": "asr",
    "data": {"root": "data/speech", "batch_size": 8, "num_feats": 80},
    "model": {
        "d_model": 16,
        "num_encoder_layers": 1,
        "num_decoder_layers": 1,
        "num_encoder_heads": 2,
        "num_decoder_heads": 2,
        "d_ff_encoder": 32,
        "d_ff_decoder": 32,
        "max_len": 256,
        "time_reduction": 4,
        "reduction_method": "lstm",
    },
    "optimizer": {"name": "adamw", "lr": "1e-3"},
    "scheduler": {"name": "cosine", "cosine": {"T_max": 2}},
    "training": {"epochs": 1, "amp_dtype": "float32"},
    "loss": {"ctc_weight": 0.3, "label_smoothing": 0.1},
    "recognition": {"beam_width": 2},
}
LM = {
    "name": "tiny-lm",
    "task": "lm",
    "data": {"root": "data/lm", "batch_size": 16},
    "model": {"d_model": 16, "num_layers": 1, "num_heads": 2, "d_ff": 32, "max_len": 128},
    "optimizer": {"name": "adam", "lr": 0.001},
    "scheduler": {"name": "cosine"},
    "training": {"epochs": 1},
}


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    root = tmp_path_factory.mktemp("e2e")
    lines = [s for s in open(prepare.embedded_text("lm"), encoding="utf-8").read().splitlines() if len(s) <= 60][:60]
    (root / "lm.txt").write_text("\n".join(lines) + "\n")
    (root / "asr.yaml").write_text(yaml.safe_dump(ASR))
    (root / "lm.yaml").write_text(yaml.safe_dump(LM))
    return root


def run(*argv):
    assert cli.main([str(a) for a in argv]) == 0


def test_prepare_train_resume_evaluate(workdir, monkeypatch, capsys):
    monkeypatch.chdir(workdir)
    run("prepare", "synth", "--output", "data/speech", "--train", 16, "--dev", 8, "--test", 8, "--max-words", 5)
    run("prepare", "text", "lm.txt", "data/lm", "--splits", "train=0.8,dev=0.1,test=0.1")
    assert sorted(p.name for p in (workdir / "data" / "lm").iterdir()) == ["dev", "test", "train"]

    run("train", "asr.yaml")
    expt = workdir / "expts" / "tiny-asr"
    for name in [
        "config.yaml",
        "model_arch.txt",
        "tokenizer.json",
        "feature_stats.pt",
        "training_history.json",
        "checkpoints/checkpoint-best-metric-model.pth",
        "attn/learning_curve.png",
    ]:
        assert (expt / name).is_file(), name
    assert (expt / "config.yaml").read_text() == (workdir / "asr.yaml").read_text()

    # --resume goes on after the last finished epoch instead of repeating it.
    (workdir / "asr.yaml").write_text(yaml.safe_dump({**ASR, "training": {**ASR["training"], "epochs": 2}}))
    run("train", "asr.yaml", "--resume")
    assert "Resuming after epoch 0: 1 epoch(s) to go" in capsys.readouterr().out
    history = json.loads((expt / "training_history.json").read_text())
    assert [r["epoch"] for r in history] == [0, 1]

    run("train", "lm.yaml")
    stale = expt / "evaluation" / "hypotheses_from_an_older_run.json"
    stale.parent.mkdir(exist_ok=True)
    stale.write_text("[]")
    run("evaluate", "asr.yaml", "--lm", "expts/tiny-lm", "--lm-weight", 0.5)
    printed = capsys.readouterr().out
    with open(expt / "evaluation" / "results.csv") as f:
        rows = list(csv.DictReader(f))
    assert [r["decoding"] for r in rows] == [
        "greedy",
        "beam_2",
        "beam_2+lm",
        "joint_ctc_attention_greedy",
        "joint_ctc_attention_beam_2",
        "ctc_greedy",
    ]
    for r in rows:
        assert 0.0 <= float(r["CER (%)"]) and float(r["ms per utterance"]) > 0, r
    assert "REF: " in printed and "HYP: " in printed
    # Every hypothesis can be traced to its utterance; nothing of the earlier evaluation is left.
    assert not stale.exists()
    hyps = json.loads((expt / "evaluation" / "hypotheses_greedy.json").read_text())
    ids = sorted(p.stem for p in (workdir / "data" / "speech" / "test-clean" / "fbank").glob("*.npy"))
    assert sorted(h["id"] for h in hyps) == ids
    for h in hyps:
        text = workdir / "data" / "speech" / "test-clean" / "text" / f"{h['id']}.npy"
        assert h["reference"] == "".join(np.load(text).tolist())

    run("evaluate", "lm.yaml")
    with open(workdir / "expts" / "tiny-lm" / "evaluation" / "results.csv") as f:
        metrics = {r["metric"]: float(r["value"]) for r in csv.DictReader(f)}
    assert set(metrics) == {"ce_loss_token", "ce_loss_char", "perplexity_token", "perplexity_char"}


def test_fusion_needs_a_language_model_of_the_same_vocabulary(workdir, monkeypatch, capsys):
    monkeypatch.chdir(workdir)
    if not (workdir / "expts" / "tiny-asr").exists():
        pytest.skip("needs the experiment of the end-to-end test")
    # The same number of characters, not the same characters.
    chars = BrixTokenizer().characters
    swapped = chars[1] + chars[0] + chars[2:]
    (workdir / "other-lm.yaml").write_text(yaml.safe_dump({**LM, "name": "other-lm", "tokenizer": {"characters": swapped}}))
    assert cli.main(["evaluate", "asr.yaml", "--lm", "other-lm.yaml"]) == 2
    assert "must share one vocabulary" in capsys.readouterr().err
    for weight in ["nan", "inf", "-1"]:
        assert cli.main(["evaluate", "asr.yaml", "--lm", "lm.yaml", "--lm-weight", weight]) == 2
        assert "--lm-weight" in capsys.readouterr().err
