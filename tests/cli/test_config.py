"""YAML configurations: every unknown, missing or malformed key, and every hostile file, is one line naming the file and the key."""

import copy
import inspect
import os
from pathlib import Path

import pytest
import yaml

from velkor import cli
from velkor.model import DecoderOnlyTransformer, EncoderDecoderTransformer

ASR = {
    "name": "tiny-asr",
    "task": "asr",
    "data": {"root": "data/x", "num_feats": 80, "batch_size": 4},
    "model": {"d_model": 32, "num_encoder_layers": 1},
    "optimizer": {"name": "adamw", "lr": 0.001},
    "scheduler": {"name": "cosine"},
    "training": {"epochs": 1},
    "loss": {"ctc_weight": 0.3},
}
STAGE = {
    "name": "s",
    "epochs": 1,
    "encoder_active_layers": [0],
    "decoder_active_layers": [0],
    "dropout": 0.1,
    "label_smoothing": 0.0,
    "data_subset": 0.5,
}


def write(tmp_path, config, name="c.yaml"):
    path = tmp_path / name
    path.write_text(config if isinstance(config, str) else yaml.safe_dump(config))
    return path


def edited(change):
    config = copy.deepcopy(ASR)
    change(config)
    return config


def test_defaults_are_filled_and_numbers_written_as_text_are_numbers(tmp_path):
    config = edited(lambda c: c["optimizer"].update(lr="1e-3"))
    loaded = cli.load_config(write(tmp_path, config))
    assert loaded["optimizer"]["lr"] == 1e-3
    assert loaded["optimizer"]["adamw"] == {"betas": (0.9, 0.999), "eps": 1e-8, "amsgrad": False}
    assert loaded["data"]["train_partition"] == "train-clean-100" and loaded["data"]["norm"] == "global_mvn"
    assert loaded["training"]["gradient_accumulation_steps"] == 1


@pytest.mark.parametrize(
    "change, fragment",
    [
        (lambda c: c.pop("training"), 'missing section "training"'),
        (lambda c: c["training"].pop("epochs"), 'missing key "training.epochs"'),
        (lambda c: c["training"].update(epochs="ten"), 'key "training.epochs" must be a non-negative integer'),
        (lambda c: c["training"].update(epochs=True), 'key "training.epochs" must be a non-negative integer'),
        (lambda c: c["data"].pop("num_feats"), 'missing key "data.num_feats"'),
        (lambda c: c["data"].update(batch_size=0), 'key "data.batch_size" must be a positive integer'),
        (lambda c: c["data"].update(norm="zscore"), 'key "data.norm" must be'),
        (lambda c: c["data"].update(roots="x"), 'unknown key "data.roots"'),
        (lambda c: c["optimizer"].update(lr="fast"), 'key "optimizer.lr" must be a number'),
        (lambda c: c["optimizer"].update(name="lion"), 'key "optimizer.name" must be "sgd", "adam" or "adamw"'),
        (lambda c: c["scheduler"].update(name="step"), 'key "scheduler.name" must be'),
        (lambda c: c["model"].update(d_modle=3), 'unknown key "model.d_modle"'),
        (lambda c: c["model"].update(num_classes=3), 'key "model.num_classes" must not be set'),
        (lambda c: c.update(task="tts"), 'key "task" must be "lm", "asr" or "progressive"'),
        (lambda c: c.update(extra=1), 'unknown key "extra"'),
        (lambda c: c.update(task="progressive"), 'missing key "stages"'),
        (
            lambda c: c.update(task="progressive", stages=[{**STAGE, "data_subset": 2}]),
            'key "stages[0].data_subset" must be a number in (0, 1]',
        ),
        (lambda c: c.update(task="progressive", stages=[{**STAGE, "encoder_active_layers": ["0"]}]), "stages[0].encoder_active_layers"),
        (lambda c: c.update(data="data/x"), 'key "data" must be a mapping'),
    ],
)
def test_errors_name_the_key_and_the_file(tmp_path, change, fragment, capsys):
    path = write(tmp_path, edited(change))
    with pytest.raises(cli.ConfigError) as info:
        cli.load_config(path)
    message = str(info.value)
    assert message.startswith(str(path) + ": ") and fragment in message, message


@pytest.mark.parametrize(
    "change, fragment",
    [
        (lambda c: c["model"].update(num_encoder_heads=3), 'section "model": '),
        (lambda c: c["tokenizer"].update(token_type="subword"), 'section "tokenizer": '),
        (lambda c: None, 'key "data.train_partition": no such directory'),
    ],
)
def test_errors_found_while_building_name_the_section(tmp_path, change, fragment, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    config = edited(lambda c: (c["data"].update(root=str(tmp_path / "nowhere")), c.update(tokenizer={}), change(c)))
    path = write(tmp_path, config)
    assert cli.main(["train", str(path)]) == 2
    err = capsys.readouterr().err.splitlines()[-1]  # after the CPU-threads line
    assert err.startswith(f"velkor: error: {path}: ") and fragment in err, err
    assert not (tmp_path / "expts").exists()


@pytest.mark.parametrize(
    "text, fragment",
    [("task: [lm\n", "not valid YAML"), ("- a\n- b\n", "must hold a mapping of sections"), ("", "must hold a mapping of sections")],
)
def test_malformed_yaml(tmp_path, text, fragment, capsys):
    path = write(tmp_path, text)
    assert cli.main(["train", str(path)]) == 2
    err = capsys.readouterr().err
    assert err.startswith(f"velkor: error: {path}: ") and fragment in err
    assert cli.main(["evaluate", str(tmp_path / "absent.yaml")]) == 2
    assert "no such configuration file" in capsys.readouterr().err


@pytest.mark.parametrize(
    "command",
    [
        [],
        ["prepare"],
        ["prepare", "synth"],
        ["prepare", "audio"],
        ["prepare", "text"],
        ["train"],
        ["evaluate"],
        ["demo"],
        ["transcribe"],
        ["generate"],
        ["export"],
    ],
)
def test_every_command_has_help(command, capsys):
    with pytest.raises(SystemExit) as info:
        cli.main([*command, "--help"])
    assert info.value.code == 0
    assert capsys.readouterr().out.startswith("usage: velkor")


def nested(path, value):
    """A change setting config[a][b]... = value for the dotted path."""

    def change(c):
        *parents, leaf = path.split(".")
        for p in parents:
            c = c.setdefault(p, {})
        c[leaf] = value

    return change


LM_SECTIONS = {"task": "lm", "model": {"d_model": 32}}
ALIAS_BOMB = "a: &a [x, x, x, x, x, x, x, x, x, x]\n" + "".join(
    f"{chr(98 + i)}: &{chr(98 + i)} [*{chr(97 + i)}, *{chr(97 + i)}, *{chr(97 + i)}, *{chr(97 + i)}, *{chr(97 + i)}]\n" for i in range(8)
)


# Each row: a change to a valid configuration (or the file's whole content) -> what the one line names.
@pytest.mark.parametrize(
    "change, fragment",
    [
        # Every section closed, with a suggestion.
        (nested("training.gradient_acumulation_steps", 2), 'did you mean "training.gradient_accumulation_steps"?'),
        (nested("recognition.beam_widht", 4), 'did you mean "recognition.beam_width"?'),
        (nested("scheduler.cosine.Tmax", 3), 'unknown key "scheduler.cosine.Tmax"; did you mean "scheduler.cosine.T_max"?'),
        (
            lambda c: c["training"].update(epohcs=c["training"].pop("epochs")),
            'missing key "training.epochs"; did you mean "training.epohcs"?',
        ),
        (nested("generation.top_k", 3), 'key "generation" is only read when task is lm'),
        # Values that used to fail after an epoch, or never.
        (
            nested("data.batch_size", 10**30),
            'key "data.batch_size" must be a positive integer of at most 65536, got an integer beyond 64 bits',
        ),
        (nested("scheduler.cosine.T_max", 0), 'key "scheduler.cosine.T_max"'),
        (nested("optimizer.weight_decay", -0.1), 'key "optimizer.weight_decay" must be a number >= 0'),
        (nested("optimizer.adamw.betas", [0.9]), 'key "optimizer.adamw.betas" must be a list of two numbers in [0, 1)'),
        (nested("optimizer.adamw.betas", [1.0, 0.9]), 'key "optimizer.adamw.betas"'),
        (nested("optimizer.adam.eps", 0), 'key "optimizer.adam.eps" must be a number in (0, 1]'),
        (nested("optimizer.param_groups", [{"name": "enc"}]), 'missing key "optimizer.param_groups[0].patterns"'),
        (nested("optimizer.param_groups", ["enc"]), 'key "optimizer.param_groups[0]" must be a mapping'),
        (nested("training.device", "cuda:99"), 'key "training.device": this machine has'),
        (nested("training.device", "gpu"), 'key "training.device" must be a device'),
        (nested("loss.label_smoothing", 5), 'key "loss.label_smoothing" must be a number in [0, 1)'),
        (nested("loss.label_smoothing", -0.1), 'key "loss.label_smoothing"'),
        (nested("model.d_model", 10**6), 'key "model.d_model" must be a positive integer of at most 8192'),
        (nested("model.max_len", 10**9), 'key "model.max_len"'),
        (nested("model.time_reduction", 1000), 'key "model.time_reduction"'),
        (lambda c: c["model"].update(d_model=8192, max_len=100000), '"model.d_model" × "model.max_len" must be at most'),
        (nested("optimizer.lr", 0), 'key "optimizer.lr" must be a number in (0, 10]'),
        (nested("optimizer.lr", -1e-3), 'key "optimizer.lr"'),
        (nested("data.subset_size", 0), 'key "data.subset_size" must be a fraction in (0, 1] or a positive number of utterances'),
        (nested("data.subset_size", 1.5), 'key "data.subset_size"'),
        (nested("loss.ctc_weight", 1.5), 'key "loss.ctc_weight" must be a number in [0, 1]'),
        (nested("scheduler.cosine.eta_min", float("nan")), 'key "scheduler.cosine.eta_min" must be a number >= 0'),
        (nested("scheduler.warmup.epochs", -1), 'key "scheduler.warmup.epochs"'),
        (nested("scheduler.reduce_lr.patience", -1), 'key "scheduler.reduce_lr.patience"'),
        (nested("recognition.ctc_weight", -0.5), 'key "recognition.ctc_weight" must be a number in [0, 1]'),
        (nested("recognition.ctc_weight", 1.5), 'key "recognition.ctc_weight"'),
        (nested("recognition.decoder", "foo"), 'key "recognition.decoder" must be "attention" or "ctc"'),
        (nested("recognition.repeat_penalty", 0), 'key "recognition.repeat_penalty" must be a number in (0, 100]'),
        (nested("recognition.beam_width", 2**31), 'key "recognition.beam_width"'),
        (nested("recognition.max_length", 10**12), 'key "recognition.max_length"'),
        (nested("training.amp_dtype", "float8"), 'key "training.amp_dtype" must be "float16", "bfloat16" or "float32"'),
        (lambda c: c.update(task="progressive", stages=[{**STAGE, "encoder_active_layers": [0, 5]}]), "lists layer 5, but the model has 1"),
        (lambda c: c.update(name="a\0b"), 'key "name" must be a plain directory name'),
        (lambda c: c.update(name="x" * 300), 'key "name" must be a plain directory name, got \'xxx'),
        (lambda c: c.update(name="../up"), 'key "name" must be a plain directory name'),
        # Hostile files: bounded time, no traceback.
        ("training:\n  epochs: 1\n  wandb_run_id: &r [*r]\n", "recursive YAML alias"),
        (ALIAS_BOMB, "expands to more than 10000 values"),
        ("a: " + "[" * 400 + "]" * 400 + "\n", "nested"),
        (b"task: asr\nname: \xff\xfe\n", "not UTF-8 text: byte 16 cannot be decoded"),
        ("name: " + "x" * (1 << 20) + "\n", "larger than 1 MiB"),
        (None, "not a regular file"),
    ],
)
def test_hostile_configurations_are_one_line(tmp_path, change, fragment, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    path = tmp_path / "c.yaml"
    if change is None:
        os.mkfifo(path)
    elif isinstance(change, bytes):
        path.write_bytes(change)
    elif isinstance(change, str):
        path.write_text(change)
    else:
        write(tmp_path, edited(change))
    assert cli.main(["train", str(path)]) == 2
    err = capsys.readouterr().err
    assert err.startswith(f"velkor: error: {path}: ") and fragment in err and err.count("\n") == 1, err
    assert len(err) < 600 and not (tmp_path / "expts").exists()


@pytest.mark.parametrize(
    "cls, task, filled", [(EncoderDecoderTransformer, "asr", {"input_dim", "num_classes"}), (DecoderOnlyTransformer, "lm", {"num_classes"})]
)
def test_the_model_keys_are_the_constructor_parameters(tmp_path, cls, task, filled):
    """The schema's model keys and defaults follow the model's signature, so a new argument cannot go unchecked."""
    params = {n: p.default for n, p in inspect.signature(cls).parameters.items()}
    reference = cli.config_reference()
    keys = {line.split("`")[1].removeprefix("model."): line for line in reference.splitlines() if line.startswith("| `model.")}
    for name, default in params.items():
        tasks = keys[name].split("|")[2].strip()
        assert tasks == "all" or task in tasks, name
        if name not in filled:
            assert f"`{str(default).lower() if isinstance(default, bool) else default}`" in keys[name], name
    config = {**ASR, "task": task, "model": {"d_model": 32, "bogus": 1}}
    if task == "lm":
        config = {**config, "data": {"root": "data/x"}}
        config.pop("loss")
    with pytest.raises(cli.ConfigError, match='unknown key "model.bogus"'):
        cli.load_config(write(tmp_path, config))


def test_the_readme_reference_is_the_schema():
    readme = (Path(__file__).resolve().parents[2] / "README.md").read_text(encoding="utf-8")
    assert cli.config_reference() in readme, "README's configuration reference is out of date: paste velkor.cli.config_reference()"


def test_cosine_length_follows_the_epochs(tmp_path):
    loaded = cli.load_config(write(tmp_path, edited(lambda c: c["training"].update(epochs=7))))
    assert loaded["scheduler"]["cosine"]["T_max"] == 7
    warm = edited(lambda c: (c["training"].update(epochs=7), c["scheduler"].update(warmup={"enabled": True, "epochs": 2})))
    assert cli.load_config(write(tmp_path, warm))["scheduler"]["cosine"]["T_max"] == 5
    fixed = edited(lambda c: c["scheduler"].update(cosine={"T_max": 3}))
    assert cli.load_config(write(tmp_path, fixed))["scheduler"]["cosine"]["T_max"] == 3
