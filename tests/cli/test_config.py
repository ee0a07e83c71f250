"""YAML configurations: every malformed or missing key is reported with the key and the file."""

import copy

import pytest
import yaml

from velkor import cli

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
        (lambda c: c["model"].update(d_model=32.0), "section \"model\": Argument 'd_model' must be of type int, got float"),
        (lambda c: c["tokenizer"].update(token_type="bytes"), 'section "tokenizer": '),
        (lambda c: None, 'key "data.train_partition": no such directory'),
    ],
)
def test_errors_found_while_building_name_the_section(tmp_path, change, fragment, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    config = edited(lambda c: (c["data"].update(root=str(tmp_path / "nowhere")), c.update(tokenizer={}), change(c)))
    path = write(tmp_path, config)
    assert cli.main(["train", str(path)]) == 2
    err = capsys.readouterr().err
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
    "command", [[], ["prepare"], ["prepare", "synth"], ["prepare", "audio"], ["prepare", "text"], ["train"], ["evaluate"], ["demo"]]
)
def test_every_command_has_help(command, capsys):
    with pytest.raises(SystemExit) as info:
        cli.main([*command, "--help"])
    assert info.value.code == 0
    assert capsys.readouterr().out.startswith("usage: velkor")
