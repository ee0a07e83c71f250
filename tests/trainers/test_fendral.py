import abc
import io
import json
import os
import pickle
import shutil
import sys
import types

import numpy as np
import pytest
import torch

from velkor.trainers.fendral import BaseTrainer


class Trainer(BaseTrainer):
    """The smallest concrete trainer, written in Python."""

    def _train_epoch(self, dataloader):
        return {}, {}

    def _validate_epoch(self, dataloader):
        return {}, {}

    def train(self, train_dataloader, val_dataloader):
        pass

    def evaluate(self, dataloader):
        return "evaluated"


@pytest.fixture
def trainer(tokenizer, config_file, make_lm_model, make_lm_config, capsys):
    t = Trainer(make_lm_model(), tokenizer, make_lm_config(), "run", config_file)
    t.optimizer = torch.optim.AdamW(t.model.parameters(), lr=0.01)
    capsys.readouterr()
    return t


def test_abstract_base_and_subclasses():
    assert type(BaseTrainer) is abc.ABCMeta and BaseTrainer.__bases__ == (abc.ABC,)
    abstract = ["_train_epoch", "_validate_epoch", "train", "evaluate"]
    assert [name for name in vars(BaseTrainer) if getattr(vars(BaseTrainer)[name], "__isabstractmethod__", False)] == abstract
    with pytest.raises(TypeError, match="abstract"):
        BaseTrainer(None, None, {}, "run", "config.yaml")

    class Partial(BaseTrainer):
        def _train_epoch(self, dataloader):
            return BaseTrainer._train_epoch(self, dataloader)  # the base bodies return None

        def _validate_epoch(self, dataloader):
            pass

        def train(self, train_dataloader, val_dataloader):
            pass

    with pytest.raises(TypeError, match="evaluate"):
        Partial(None, None, {}, "run", "config.yaml")
    assert Trainer.__abstractmethods__ == frozenset()


def test_construction(trainer, tokenizer, workdir, config_file):
    assert list(vars(trainer))[:17] == [
        "device", "model", "tokenizer", "config", "optimizer", "scheduler", "scaler", "use_wandb",
        "expt_root", "checkpoint_dir", "attn_dir", "text_dir", "best_model_path", "last_model_path",
        "current_epoch", "best_metric", "training_history",
    ]  # fmt: skip
    assert list(vars(trainer))[-1] == "amp_dtype" and trainer.amp_dtype is torch.float32
    assert trainer.device == "cpu" and trainer.scaler._device == "cpu" and trainer.use_wandb is False
    assert trainer.current_epoch == 0 and trainer.best_metric == float("inf") and trainer.training_history == []
    root = workdir / "expts" / "run"
    assert trainer.expt_root == root and trainer.checkpoint_dir == root / "checkpoints"
    assert trainer.best_model_path == root / "checkpoints" / "checkpoint-best-metric-model.pth"
    assert trainer.last_model_path == root / "checkpoints" / "checkpoint-last-epoch-model.pth"
    assert sorted(os.listdir(root)) == ["attn", "checkpoints", "config.yaml", "model_arch.txt", "text"]
    assert (root / "config.yaml").read_bytes() == open(config_file, "rb").read()
    assert os.stat(root / "config.yaml").st_mtime == os.stat(config_file).st_mtime
    assert "DecoderOnlyTransformer" in (root / "model_arch.txt").read_text()
    assert trainer.evaluate(None) == "evaluated"


def test_prints_device_and_reuses_directory(tokenizer, config_file, make_lm_model, make_lm_config, capsys, workdir):
    first = Trainer(make_lm_model(), tokenizer, make_lm_config(), "run", config_file)
    (first.attn_dir / "old.png").write_bytes(b"x")
    (workdir / "expts" / "run" / "model_arch.txt").write_text("stale")
    config = make_lm_config()
    second = Trainer(make_lm_model(), tokenizer, config, "run", config_file, device="cpu")
    assert capsys.readouterr().out == "Using device: cpu\n" * 2
    assert second.config is config
    assert (second.attn_dir / "old.png").exists() and "stale" not in (second.expt_root / "model_arch.txt").read_text()


@pytest.mark.parametrize(
    "position, value, message",
    [
        (2, type("Config", (dict,), {})(), "Argument 'config' must be of type dict, got Config"),
        (3, 7, "Argument 'run_name' must be of type str, got int"),
        (4, None, "Argument 'config_file' must be of type str, got NoneType"),
        (5, 0, "Argument 'device' must be of type str or None, got int"),
    ],
)
def test_argument_types_checked_first(tokenizer, config_file, make_lm_model, make_lm_config, position, value, message, capsys, workdir):
    args = [make_lm_model(), tokenizer, make_lm_config(), "run", config_file, None]
    args[position] = value
    with pytest.raises(TypeError) as info:
        Trainer(*args)
    assert str(info.value) == message
    assert capsys.readouterr().out == "" and not (workdir / "expts").exists()


@pytest.mark.parametrize(
    "value, dtype",
    [(None, torch.bfloat16), ("float16", torch.float16), ("bfloat16", torch.bfloat16), ("float32", torch.float32), ("fp16", None), (16, None)],
)
def test_amp_dtype(tokenizer, config_file, make_lm_model, value, dtype, workdir):
    training = {} if value is None else {"amp_dtype": value}
    config = {"data": {}, "training": training}
    if dtype is None:
        with pytest.raises(ValueError, match='"amp_dtype".*"float16", "bfloat16", "float32"'):
            Trainer(make_lm_model(), tokenizer, config, "run", config_file)
        assert not (workdir / "expts").exists()
    else:
        assert Trainer(make_lm_model(), tokenizer, config, "run", config_file).amp_dtype is dtype


def test_configuration_and_model_failures(tokenizer, config_file, make_lm_model, workdir):
    with pytest.raises(KeyError, match="training"):
        Trainer(make_lm_model(), tokenizer, {"data": {}}, "run", config_file)
    assert not (workdir / "expts").exists()
    with pytest.raises(NotImplementedError, match="^Model architecture summary not implemented$"):
        Trainer(torch.nn.Linear(2, 2), tokenizer, {"data": {}, "training": {}}, "run", config_file)
    assert (workdir / "expts" / "run" / "model_arch.txt").read_text() == ""
    with pytest.raises(FileNotFoundError):
        Trainer(make_lm_model(), tokenizer, {"data": {}, "training": {}}, "run", str(workdir / "missing.yaml"))


@pytest.mark.parametrize("max_len, time_reduction", [(1000, 6), (400, 2), (60, 2)])
def test_speech_model_summary(tokenizer, config_file, max_len, time_reduction, workdir):
    """A speech model whose positional table is shorter than 1000 reduced frames is summarized too."""
    from velkor.model import EncoderDecoderTransformer

    model = EncoderDecoderTransformer(
        input_dim=8, num_classes=tokenizer.num_classes, d_model=16, num_encoder_layers=1, num_decoder_layers=1,
        num_encoder_heads=2, num_decoder_heads=2, d_ff_encoder=16, d_ff_decoder=16, max_len=max_len,
        time_reduction=time_reduction, reduction_method="conv",
    )  # fmt: skip
    config = {"data": {"batch_size": 2, "num_feats": 8}, "training": {}}
    trainer = Trainer(model, tokenizer, config, "asr", config_file)
    assert "EncoderDecoderTransformer" in (trainer.expt_root / "model_arch.txt").read_text()
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
def test_attention_plot(trainer, weights):
    trainer._save_attention_plot(weights, 3, "train_self")
    assert os.listdir(trainer.attn_dir) == ["train_self_attention_epoch3.png"]
    assert (trainer.attn_dir / "train_self_attention_epoch3.png").read_bytes()[:4] == b"\x89PNG"


def test_generated_text(trainer):
    records = [{"prompt": "café", "original": "x", "generated": "y", "score": -1.5}]
    trainer._save_generated_text(records, "val_epoch_3")
    text = (trainer.text_dir / "text_val_epoch_3.json").read_text()
    assert text == json.dumps(records, indent=4) and "\\u00e9" in text
    assert json.loads(text) == records
    with pytest.raises(TypeError, match="Argument 'suffix' must be of type str"):
        trainer._save_generated_text(records, 3)


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
    assert stored["epoch"] == 0 and stored["best_metric"] == 1.5 and stored["config"] == trainer.config
    assert stored["training_history"] == trainer.training_history and stored["scheduler_state_dict"]["step_size"] == 2
    trainer.optimizer = None
    with pytest.raises(AttributeError):
        trainer.save_checkpoint("other.pth")
    assert os.listdir(trainer.checkpoint_dir) == ["checkpoint-last-epoch-model.pth"]


def test_load_before_optimizer_and_renamed_parameter(trainer, tokenizer, config_file, make_lm_model, make_lm_config, capsys):
    trainer.current_epoch, trainer.best_metric = 4, 0.75
    trainer.training_history.append({"epoch": 4})
    trainer.save_checkpoint("c.pth")
    fresh = Trainer(make_lm_model(), tokenizer, make_lm_config(), "run", config_file)
    fresh.scheduler = object()  # the checkpoint has no scheduler state: skipped silently
    capsys.readouterr()
    fresh.load_checkpoint("c.pth")
    out = capsys.readouterr().out.splitlines()
    assert out[0].startswith("Warning: Failed to load optimizer state: ")
    assert out[1:] == ["Checkpoint loaded from epoch 4", "Successfully loaded: model, scaler, training_state", "Failed to load: optimizer"]
    assert (fresh.current_epoch, fresh.best_metric, fresh.training_history) == (4, 0.75, [{"epoch": 4}])
    for a, b in zip(fresh.model.parameters(), trainer.model.parameters()):
        assert torch.equal(a, b)

    state = torch.load(trainer.checkpoint_dir / "c.pth", weights_only=True)
    state["model_state_dict"] = {"renamed." + k: v for k, v in state["model_state_dict"].items()}
    torch.save(state, trainer.checkpoint_dir / "c.pth")
    trainer.load_checkpoint("c.pth")
    out = capsys.readouterr().out
    assert out.startswith("Warning: Failed to load model state: ") and "renamed." in out
    out = out.splitlines()
    assert out[-2:] == ["Successfully loaded: optimizer, scaler, training_state", "Failed to load: model"]


def test_nothing_loadable(trainer, capsys):
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


@pytest.mark.parametrize(
    "content",
    [b"not a checkpoint", pickle.dumps({"epoch": Payload()}, protocol=2), "torch:payload", "torch:list"],
    ids=["garbage", "pickle", "torch-pickle", "not-a-dict"],
)
def test_unsafe_or_corrupt_file_refused(trainer, content, workdir):
    path = trainer.checkpoint_dir / "c.pth"
    if content == "torch:payload":
        torch.save({"epoch": Payload()}, path)
    elif content == "torch:list":
        torch.save([1, 2], path)
    else:
        path.write_bytes(content)
    shutil.rmtree("pwned", ignore_errors=True)
    with pytest.raises(RuntimeError, match="^Failed to load checkpoint file: ") as info:
        trainer.load_checkpoint("c.pth")
    assert not os.path.exists("pwned") and trainer.current_epoch == 0
    if content != "torch:list":
        assert info.value.__context__ is not None


@pytest.mark.parametrize(
    "where, value, entry",
    [
        ("config", np.float64(0.5), "config['training']['bad']"),
        ("history", {"path": __import__("pathlib").Path("x")}, "training_history[1]['path']"),
    ],
)
def test_unloadable_entries_refused_before_writing(trainer, where, value, entry):
    trainer.training_history.append({"epoch": 0})
    trainer.save_checkpoint("c.pth")
    before = (trainer.checkpoint_dir / "c.pth").read_bytes()
    if where == "config":
        trainer.config["training"]["bad"] = value
    else:
        trainer.training_history.append(value)
    with pytest.raises(TypeError, match=r"entry " + __import__("re").escape(entry)):
        trainer.save_checkpoint("c.pth")
    assert (trainer.checkpoint_dir / "c.pth").read_bytes() == before
    assert os.listdir(trainer.checkpoint_dir) == ["c.pth"]


@pytest.mark.parametrize("failure", [OSError(28, "No space left on device"), KeyboardInterrupt()])
def test_interrupted_save_keeps_previous_checkpoint(trainer, monkeypatch, failure, capsys):
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


# --- tracking --------------------------------------------------------------------------------


def fake_wandb():
    calls = []
    module = types.ModuleType("wandb")
    for name in ["init", "log", "save", "finish"]:
        module.__dict__[name] = lambda *a, _n=name, **k: calls.append((_n, a, k)) or (f"run:{k.get('id')}" if _n == "init" else None)
    module.Image = lambda path: ("image", path)
    return module, calls


@pytest.mark.parametrize(
    "run_id, resumed", [(None, False), ("", False), ("None", False), ("NONE", False), ("abc123", True)]
)
def test_tracking_run_rules(tokenizer, config_file, make_lm_model, monkeypatch, run_id, resumed):
    module, calls = fake_wandb()
    monkeypatch.setitem(sys.modules, "wandb", module)
    training = {"use_wandb": True, "wandb_project": "proj"}
    if run_id is not None:
        training["wandb_run_id"] = run_id
    config = {"data": {}, "training": training}
    trainer = Trainer(make_lm_model(), tokenizer, config, "run", config_file)
    name, args, kwargs = calls[0]
    assert name == "init" and args == ()
    if resumed:
        assert kwargs == {"project": "proj", "id": "abc123", "resume": "must", "config": config}
    else:
        assert kwargs == {"project": "proj", "config": config, "name": "run"}
    assert trainer.wandb_run == f"run:{kwargs.get('id')}"


def test_tracking_calls(tokenizer, config_file, make_lm_model, monkeypatch):
    module, calls = fake_wandb()
    monkeypatch.setitem(sys.modules, "wandb", module)
    trainer = Trainer(make_lm_model(), tokenizer, {"data": {}, "training": {"use_wandb": True}}, "run", config_file)
    trainer.optimizer = torch.optim.SGD(trainer.model.parameters(), lr=0.5)
    assert calls.pop(0)[2]["project"] == "default-project"
    trainer._log_metrics({"val": {"b": 2.0}, "train": {"x": 0.5, "a": 1}}, 2)
    trainer._save_attention_plot(torch.rand(2, 2), 2, "val_self")
    trainer._save_generated_text([], "s")
    trainer.save_checkpoint("c.pth")
    trainer.cleanup()
    assert calls == [
        ("log", ({"val/b": 2.0, "train/x": 0.5, "train/a": 1, "learning_rate": 0.5},), {"step": 2}),
        ("log", ({"val_self_attention": ("image", str(trainer.attn_dir / "val_self_attention_epoch2.png"))},), {"step": 2}),
        ("save", (str(trainer.text_dir / "text_s.json"),), {}),
        ("save", (str(trainer.checkpoint_dir / "c.pth"),), {}),
        ("finish", (), {}),
    ]


def test_cleanup_without_tracking(trainer, monkeypatch):
    monkeypatch.setitem(sys.modules, "wandb", None)  # importing it would fail
    trainer.cleanup()
    assert not hasattr(trainer, "wandb_run")


def test_offline_wandb_run_holds_logged_keys(tokenizer, config_file, make_lm_model, monkeypatch, workdir):
    pytest.importorskip("wandb")
    monkeypatch.setenv("WANDB_MODE", "offline")
    monkeypatch.setenv("WANDB_DIR", str(workdir))
    monkeypatch.setenv("WANDB_SILENT", "true")
    config = {"data": {}, "training": {"use_wandb": True, "wandb_project": "velkor-test"}}
    trainer = Trainer(make_lm_model(), tokenizer, config, "offline-run", config_file)
    trainer.optimizer = torch.optim.SGD(trainer.model.parameters(), lr=0.25)
    trainer._log_metrics({"train": {"ce_loss_token": 1.25}, "val": {"ce_loss_char": 0.5}}, 0)
    trainer.cleanup()
    import wandb

    wandb.teardown()  # the client's service writes the run file in the background; this waits for it
    runs = list((workdir / "wandb").glob("offline-run-*/*.wandb"))
    assert len(runs) == 1
    record = runs[0].read_bytes()
    for key in [b"train/ce_loss_token", b"val/ce_loss_char", b"learning_rate", b"offline-run", b"velkor-test"]:
        assert key in record


def test_next_save_removes_files_of_killed_saves(trainer):
    """A save killed outright leaves its temporary file; the next save removes it unless its writer lives."""
    import socket
    import subprocess

    finished = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"], capture_output=True, text=True)
    dead, alive = int(finished.stdout), os.getppid()
    prefix = f".c.pth.{socket.gethostname()}."
    for pid in [dead, alive]:
        (trainer.checkpoint_dir / f"{prefix}{pid}.0123456789ab.tmp").write_bytes(b"partial")
    (trainer.checkpoint_dir / f".other.pth.{socket.gethostname()}.{dead}.0123456789ab.tmp").write_bytes(b"x")
    trainer.save_checkpoint("c.pth")
    assert sorted(os.listdir(trainer.checkpoint_dir)) == sorted(
        ["c.pth", f"{prefix}{alive}.0123456789ab.tmp", f".other.pth.{socket.gethostname()}.{dead}.0123456789ab.tmp"]
    )
