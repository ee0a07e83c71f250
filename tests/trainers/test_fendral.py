"""The base trainer: construction and the experiment folder, argument checks, metric logging and plots,
checkpoints written atomically and restored component by component, unsafe files refused."""

import abc
import io
import json
import os
import pickle
import re
import socket
import subprocess
import sys
import types
from pathlib import Path

import numpy as np
import pytest
import torch
from conftest import lm_config, lm_model

from velkor.trainers.fendral import BaseTrainer


class Trainer(BaseTrainer):
    """The smallest concrete trainer, written in Python."""

    def _train_epoch(self, dataloader):
        return super()._train_epoch(dataloader)  # the base bodies return None

    def _validate_epoch(self, dataloader):
        pass

    def train(self, train_dataloader, val_dataloader):
        pass

    def evaluate(self, dataloader):
        return "evaluated"


@pytest.fixture
def trainer(tokenizer, config_file, capsys):
    t = Trainer(lm_model(tokenizer), tokenizer, lm_config(), "run", config_file)
    t.optimizer = torch.optim.AdamW(t.model.parameters(), lr=0.01)
    capsys.readouterr()
    return t


def test_abstract_base():
    assert type(BaseTrainer) is abc.ABCMeta and BaseTrainer.__bases__ == (abc.ABC,)
    members = vars(BaseTrainer)
    assert [n for n in members if getattr(members[n], "__isabstractmethod__", False)] == [
        "_train_epoch",
        "_validate_epoch",
        "train",
        "evaluate",
    ]
    with pytest.raises(TypeError, match="abstract"):
        BaseTrainer(None, None, {}, "run", "config.yaml")
    partial = type("Partial", (Trainer,), {"evaluate": BaseTrainer.evaluate})
    with pytest.raises(TypeError, match="abstract method evaluate"):
        partial(None, None, {}, "run", "config.yaml")


def test_construction_and_experiment_directory(trainer, tokenizer, workdir, config_file, capsys, monkeypatch):
    assert list(vars(trainer)) == [
        "device", "model", "tokenizer", "config", "optimizer", "scheduler", "scaler", "use_wandb",
        "expt_root", "checkpoint_dir", "attn_dir", "text_dir", "best_model_path", "last_model_path",
        "current_epoch", "best_metric", "training_history", "amp_dtype",
    ]  # fmt: skip
    device = "cuda" if torch.cuda.is_available() else "cpu"  # the default
    assert (trainer.device, trainer.scaler._device, trainer.use_wandb, trainer.amp_dtype) == (device, device, False, torch.float32)
    assert (trainer.current_epoch, trainer.best_metric, trainer.training_history) == (0, float("inf"), [])
    root = workdir / "expts" / "run"
    assert (trainer.expt_root, trainer.checkpoint_dir, trainer.attn_dir, trainer.text_dir) == (
        root, root / "checkpoints", root / "attn", root / "text"
    )  # fmt: skip
    assert trainer.best_model_path == root / "checkpoints" / "checkpoint-best-metric-model.pth"
    assert trainer.last_model_path == root / "checkpoints" / "checkpoint-last-epoch-model.pth"
    assert sorted(os.listdir(root)) == ["attn", "checkpoints", "config.yaml", "model_arch.txt", "text"]
    assert (root / "config.yaml").read_bytes() == Path(config_file).read_bytes()
    assert os.stat(root / "config.yaml").st_mtime == os.stat(config_file).st_mtime
    summary = (root / "model_arch.txt").read_text()
    # Each parameter counted once, though the summary meets some layers under two parents.
    total = sum(p.numel() for p in trainer.model.parameters())
    assert "DecoderOnlyTransformer" in summary and f"Total params: {total:,}\n" in summary

    # A second trainer of the same run reuses the directory, rewriting the summary only.
    (trainer.attn_dir / "old.png").write_bytes(b"x")
    (root / "model_arch.txt").write_text("stale")
    config = lm_config()
    again = Trainer(lm_model(tokenizer), tokenizer, config, "run", config_file, device="cpu")
    assert capsys.readouterr().out == "Using device: cpu\n" and again.config is config
    assert (again.attn_dir / "old.png").exists() and "stale" not in (root / "model_arch.txt").read_text()
    monkeypatch.setitem(sys.modules, "wandb", None)  # without tracking, cleanup does not touch the client
    again.cleanup()


@pytest.mark.parametrize(
    "position, value, message",
    [
        (2, type("Config", (dict,), {})(), "Argument 'config' must be of type dict, got Config"),
        (3, 7, "Argument 'run_name' must be of type str, got int"),
        (4, None, "Argument 'config_file' must be of type str, got NoneType"),
        (5, 0, "Argument 'device' must be of type str or None, got int"),
    ],
)
def test_argument_types_checked_first(tokenizer, config_file, position, value, message, capsys, workdir):
    args = [lm_model(tokenizer), tokenizer, lm_config(), "run", config_file, None]
    args[position] = value
    with pytest.raises(TypeError) as info:
        Trainer(*args)
    assert str(info.value) == message and capsys.readouterr().out == "" and not (workdir / "expts").exists()


@pytest.mark.parametrize(
    "value, dtype",
    [
        (None, torch.bfloat16),
        ("float16", torch.float16),
        ("bfloat16", torch.bfloat16),
        ("float32", torch.float32),
        ("fp16", None),
        (16, None),
    ],
)
def test_amp_dtype(tokenizer, config_file, value, dtype, workdir):
    config = {"data": {}, "training": {} if value is None else {"amp_dtype": value}}
    if dtype is None:
        with pytest.raises(ValueError, match='"amp_dtype".*"float16", "bfloat16", "float32"'):
            Trainer(lm_model(tokenizer), tokenizer, config, "run", config_file)
        assert not (workdir / "expts").exists()
    else:
        assert Trainer(lm_model(tokenizer), tokenizer, config, "run", config_file, device="cpu").amp_dtype is dtype


def test_configuration_and_model_failures(tokenizer, config_file, workdir):
    with pytest.raises(KeyError, match="training"):
        Trainer(lm_model(tokenizer), tokenizer, {"data": {}}, "run", config_file)
    assert not (workdir / "expts").exists()
    with pytest.raises(NotImplementedError, match="^Model architecture summary not implemented$"):
        Trainer(torch.nn.Linear(2, 2), tokenizer, {"data": {}, "training": {}}, "run", config_file)
    assert (workdir / "expts" / "run" / "model_arch.txt").read_text() == ""
    with pytest.raises(FileNotFoundError):
        Trainer(lm_model(tokenizer), tokenizer, {"data": {}, "training": {}}, "run", str(workdir / "missing.yaml"))


@pytest.mark.parametrize("max_len, time_reduction", [(1000, 6), (400, 2), (60, 2)])
def test_speech_model_summary(tokenizer, config_file, max_len, time_reduction):
    """A speech model whose positional table is shorter than 1000 reduced frames is summarized too."""
    from velkor.model import EncoderDecoderTransformer

    model = EncoderDecoderTransformer(
        input_dim=8, num_classes=tokenizer.num_classes, d_model=16, num_encoder_layers=1, num_decoder_layers=1,
        num_encoder_heads=2, num_decoder_heads=2, d_ff_encoder=16, d_ff_decoder=16, max_len=max_len,
        time_reduction=time_reduction, reduction_method="conv",
    )  # fmt: skip
    config = {"data": {"batch_size": 2, "num_feats": 8}, "training": {}}
    trainer = Trainer(model, tokenizer, config, "asr", config_file)
    summary = (trainer.expt_root / "model_arch.txt").read_text()
    assert "EncoderDecoderTransformer" in summary and f"Total params: {sum(p.numel() for p in model.parameters()):,}\n" in summary
    del config["data"]["num_feats"]
    with pytest.raises(KeyError, match="num_feats"):
        Trainer(model, tokenizer, config, "asr", config_file)


LOG_REPORT = """
📊 Metrics (Epoch 3):
├── TRAIN:
│   └── x: 0.5000
└── VAL:
    ├── a: 1.0000
    └── b: 2.0000
└── TRAINING:
    └── learning_rate: 0.010000
"""


def test_log_metrics(trainer, capsys):
    metrics = {"val": {"b": 2.0, "a": 1.0}, "train": {"x": 0.5}}
    trainer._log_metrics(metrics, 3.9)
    assert capsys.readouterr().out == LOG_REPORT
    assert trainer.training_history == [{"epoch": 3, "val": {"b": 2.0, "a": 1.0}, "train": {"x": 0.5}, "lr": 0.01}]
    assert list(trainer.training_history[0]) == ["epoch", "val", "train", "lr"]
    with pytest.raises(TypeError, match="Argument 'step' must be of type int, got str"):
        trainer._log_metrics(metrics, "3")
    with pytest.raises(TypeError, match="Argument 'metrics' must map each split to a dict of metrics, got float for 'val'"):
        trainer._log_metrics({"val": 1.0}, 3)
    trainer.optimizer = None
    with pytest.raises(AttributeError):
        trainer._log_metrics(metrics, 4)
    assert len(trainer.training_history) == 1


@pytest.mark.parametrize(
    "weights", [torch.rand(4, 6), torch.rand(4, 6, dtype=torch.bfloat16), torch.rand(3, 3).requires_grad_(), np.random.rand(5, 2)]
)
def test_attention_plot_and_generated_text(trainer, weights):
    trainer._save_attention_plot(weights, 3, "train_self")
    assert os.listdir(trainer.attn_dir) == ["train_self_attention_epoch3.png"]
    assert (trainer.attn_dir / "train_self_attention_epoch3.png").read_bytes()[:4] == b"\x89PNG"
    records = [{"prompt": "café", "original": "x", "generated": "y", "score": -1.5}]
    trainer._save_generated_text(records, "val_epoch_3")
    text = (trainer.text_dir / "text_val_epoch_3.json").read_text()
    assert text == json.dumps(records, indent=4) and "\\u00e9" in text


# --- checkpoints -------------------------------------------------------------------------------


def test_checkpoint_contents(trainer):
    trainer.scheduler = torch.optim.lr_scheduler.StepLR(trainer.optimizer, 2)
    trainer.training_history.append({"epoch": 0, "val": {"ce_loss_char": 1.5}, "lr": 0.01})
    trainer.best_metric = 1.5
    trainer.save_checkpoint("checkpoint-last-epoch-model.pth")
    assert os.listdir(trainer.checkpoint_dir) == ["checkpoint-last-epoch-model.pth"]
    stored = torch.load(trainer.last_model_path, weights_only=True)
    assert list(stored) == [
        "epoch", "model_state_dict", "optimizer_state_dict", "scheduler_state_dict", "scaler_state_dict",
        "best_metric", "training_history", "config",
    ]  # fmt: skip
    assert (stored["epoch"], stored["best_metric"], stored["config"]) == (0, 1.5, trainer.config)
    assert stored["training_history"] == trainer.training_history and stored["scheduler_state_dict"]["step_size"] == 2


def test_partial_loads(trainer, tokenizer, config_file, capsys):
    trainer.current_epoch, trainer.best_metric = 4, 0.75
    trainer.training_history.append({"epoch": 4})
    trainer.save_checkpoint("c.pth")
    fresh = Trainer(lm_model(tokenizer), tokenizer, lm_config(), "run", config_file)  # no optimizer yet
    fresh.scheduler = object()  # the checkpoint has no scheduler state: skipped silently
    capsys.readouterr()
    fresh.load_checkpoint("c.pth")
    out = capsys.readouterr().out.splitlines()
    assert out[0].startswith("Warning: Failed to load optimizer state: ")
    assert out[1:] == ["Checkpoint loaded from epoch 4", "Successfully loaded: model, scaler, training_state", "Failed to load: optimizer"]
    assert (fresh.current_epoch, fresh.best_metric, fresh.training_history) == (4, 0.75, [{"epoch": 4}])
    assert all(torch.equal(a, b) for a, b in zip(fresh.model.parameters(), trainer.model.parameters()))

    state = torch.load(trainer.checkpoint_dir / "c.pth", weights_only=True)
    state["model_state_dict"] = {"renamed." + k: v for k, v in state["model_state_dict"].items()}
    torch.save(state, trainer.checkpoint_dir / "c.pth")
    trainer.load_checkpoint("c.pth")
    out = capsys.readouterr().out
    assert out.startswith("Warning: Failed to load model state: ") and "renamed." in out
    assert out.splitlines()[-2:] == ["Successfully loaded: optimizer, scaler, training_state", "Failed to load: model"]

    torch.save({"unrelated": 1}, trainer.checkpoint_dir / "c.pth")
    trainer.optimizer = None
    with pytest.raises(RuntimeError, match="^Failed to load any checkpoint components$"):
        trainer.load_checkpoint("c.pth")
    out = capsys.readouterr().out
    assert out.count("Warning: Failed to load") == 4 and "Successfully" not in out
    with pytest.raises(FileNotFoundError, match="^No checkpoint found at .*missing.pth$"):
        trainer.load_checkpoint("missing.pth")


class Payload:
    def __reduce__(self):
        return (os.mkdir, ("pwned",))


@pytest.mark.parametrize("content", ["garbage", "pickle", "torch-pickle", "not-a-dict"])
def test_unsafe_or_corrupt_file_refused(trainer, content):
    path = trainer.checkpoint_dir / "c.pth"
    if content == "garbage":
        path.write_bytes(b"not a checkpoint")
    elif content == "pickle":
        path.write_bytes(pickle.dumps({"epoch": Payload()}, protocol=2))
    else:
        torch.save({"epoch": Payload()} if content == "torch-pickle" else [1, 2], path)
    with pytest.raises(RuntimeError, match="^Failed to load checkpoint file: ") as info:
        trainer.load_checkpoint("c.pth")
    assert not os.path.exists("pwned") and trainer.current_epoch == 0
    assert (info.value.__context__ is None) == (content == "not-a-dict")


@pytest.mark.parametrize(
    "where, value, entry",
    [("config", np.float64(0.5), "config['training']['bad']"), ("history", {"path": Path("x")}, "training_history[1]['path']")],
)
def test_unloadable_entries_refused_before_writing(trainer, where, value, entry):
    trainer.training_history.append({"epoch": 0})
    trainer.save_checkpoint("c.pth")
    before = (trainer.checkpoint_dir / "c.pth").read_bytes()
    if where == "config":
        trainer.config["training"]["bad"] = value
    else:
        trainer.training_history.append(value)
    with pytest.raises(TypeError, match=r"entry " + re.escape(entry)):
        trainer.save_checkpoint("c.pth")
    assert (trainer.checkpoint_dir / "c.pth").read_bytes() == before and os.listdir(trainer.checkpoint_dir) == ["c.pth"]


@pytest.mark.parametrize("failure", [OSError(28, "No space left on device"), KeyboardInterrupt()])
def test_interrupted_save_keeps_previous_checkpoint(trainer, monkeypatch, failure):
    trainer.current_epoch = 1
    trainer.save_checkpoint("checkpoint-last-epoch-model.pth")
    real_save = torch.save

    def failing_save(obj, f, *args, **kwargs):
        buffer = io.BytesIO()
        real_save(obj, buffer)
        f.write(buffer.getvalue()[:100])  # half-written, then the disk fills up
        raise failure

    monkeypatch.setattr(torch, "save", failing_save)
    trainer.current_epoch = 2
    with pytest.raises(type(failure)):
        trainer.save_checkpoint("checkpoint-last-epoch-model.pth")
    monkeypatch.setattr(torch, "save", real_save)
    assert os.listdir(trainer.checkpoint_dir) == ["checkpoint-last-epoch-model.pth"]
    trainer.load_checkpoint("checkpoint-last-epoch-model.pth")
    assert trainer.current_epoch == 1


def test_next_save_removes_files_of_killed_saves(trainer):
    """A save killed outright leaves its temporary file; the next save removes it unless its writer lives."""
    dead = int(subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"], capture_output=True, text=True).stdout)
    host = socket.gethostname()
    names = [f".c.pth.{host}.{dead}.0123456789ab.tmp", f".c.pth.{host}.{os.getppid()}.0123456789ab.tmp", f".d.pth.{host}.{dead}.0.tmp"]
    for name in names:
        (trainer.checkpoint_dir / name).write_bytes(b"partial")
    trainer.save_checkpoint("c.pth")
    assert sorted(os.listdir(trainer.checkpoint_dir)) == sorted(["c.pth", *names[1:]])


# --- tracking --------------------------------------------------------------------------------


@pytest.fixture
def fake_wandb(monkeypatch):
    calls = []
    module = types.ModuleType("wandb")
    for name in ["init", "log", "save", "finish"]:
        setattr(module, name, lambda *a, _n=name, **k: calls.append((_n, a, k)) or (f"run:{k.get('id')}" if _n == "init" else None))
    module.Image = lambda path: ("image", path)
    monkeypatch.setitem(sys.modules, "wandb", module)
    return calls


@pytest.mark.parametrize("run_id, resumed", [(None, False), ("", False), ("None", False), ("NONE", False), ("abc123", True)])
def test_tracking_run_rules(tokenizer, config_file, fake_wandb, run_id, resumed):
    training = {"use_wandb": True, "wandb_project": "proj"} | ({} if run_id is None else {"wandb_run_id": run_id})
    config = {"data": {}, "training": training}
    trainer = Trainer(lm_model(tokenizer), tokenizer, config, "run", config_file)
    if resumed:
        assert fake_wandb == [("init", (), {"project": "proj", "id": "abc123", "resume": "must", "config": config})]
    else:
        assert fake_wandb == [("init", (), {"project": "proj", "config": config, "name": "run"})]
    assert trainer.wandb_run == f"run:{fake_wandb[0][2].get('id')}"


def test_tracking_calls(tokenizer, config_file, fake_wandb):
    trainer = Trainer(lm_model(tokenizer), tokenizer, {"data": {}, "training": {"use_wandb": True}}, "run", config_file)
    trainer.optimizer = torch.optim.SGD(trainer.model.parameters(), lr=0.5)
    assert fake_wandb.pop(0)[2]["project"] == "default-project"
    trainer._log_metrics({"val": {"b": 2.0}, "train": {"x": 0.5, "a": 1}}, 2)
    trainer._save_attention_plot(torch.rand(2, 2), 2, "val_self")
    trainer._save_generated_text([], "s")
    trainer.save_checkpoint("c.pth")
    trainer.cleanup()
    assert fake_wandb == [
        ("log", ({"val/b": 2.0, "train/x": 0.5, "train/a": 1, "learning_rate": 0.5},), {"step": 2}),
        ("log", ({"val_self_attention": ("image", str(trainer.attn_dir / "val_self_attention_epoch2.png"))},), {"step": 2}),
        ("save", (str(trainer.text_dir / "text_s.json"),), {}),
        ("save", (str(trainer.checkpoint_dir / "c.pth"),), {}),
        ("finish", (), {}),
    ]


def test_offline_wandb_run_holds_logged_keys(tokenizer, config_file, monkeypatch, workdir):
    wandb = pytest.importorskip("wandb")
    for key, value in [("WANDB_MODE", "offline"), ("WANDB_DIR", str(workdir)), ("WANDB_SILENT", "true")]:
        monkeypatch.setenv(key, value)
    config = {"data": {}, "training": {"use_wandb": True, "wandb_project": "velkor-test"}}
    trainer = Trainer(lm_model(tokenizer), tokenizer, config, "offline-run", config_file)
    trainer.optimizer = torch.optim.SGD(trainer.model.parameters(), lr=0.25)
    trainer._log_metrics({"train": {"ce_loss_token": 1.25}, "val": {"ce_loss_char": 0.5}}, 0)
    trainer.cleanup()
    wandb.teardown()  # the client's service writes the run file in the background; this waits for it
    (run,) = (workdir / "wandb").glob("offline-run-*/*.wandb")
    record = run.read_bytes()
    for key in [b"train/ce_loss_token", b"val/ce_loss_char", b"learning_rate", b"offline-run", b"velkor-test"]:
        assert key in record
