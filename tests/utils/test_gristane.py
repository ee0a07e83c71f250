"""Optimizer factory: printed reports, group assignment, layer-wise decay and optimizer settings."""

import os
import subprocess
import sys
from collections import OrderedDict

import pytest
import torch
from torch import nn

from velkor.utils.gristane import gristane

SGD = {"momentum": 0.9, "nesterov": True, "dampening": 0}
ADAM = {"betas": (0.9, 0.98), "eps": 1e-08, "amsgrad": False}


def make_model():
    # Names: embed.weight, embed.bias (depth 1); encoder.0.weight, encoder.0.bias,
    # encoder.1.weight, encoder.1.bias (depth 2); head.weight, head.bias (depth 1).
    return nn.Sequential(
        OrderedDict(
            embed=nn.Linear(2, 2),
            encoder=nn.Sequential(nn.Linear(2, 2), nn.LayerNorm(2)),
            head=nn.Linear(2, 1),
        )
    )


def config(name="adam", **extra):
    return {"name": name, "lr": 0.001, "weight_decay": 0.01, "sgd": SGD, "adam": ADAM, "adamw": ADAM, **extra}


def groups(optimizer):
    return [(g["name"], g["lr"]) for g in optimizer.param_groups]


def test_named_groups_report_assignment_and_frozen(capsys):
    model = make_model()
    model.embed.bias.requires_grad_(False)
    cfg = config(
        "sgd",
        param_groups=[
            {"name": "enc", "patterns": ["encoder.0", "embed"], "lr": 0.01},
            # encoder.0.* also matches here: it must stay in the first group.
            {"name": "deep", "patterns": ["encoder"], "layer_decay": {"enabled": True, "decay_rate": 0.5}},
            {"name": "none", "patterns": ["missing"], "lr": 5},
        ],
        layer_decay={"enabled": True, "decay_rate": 0.1},  # ignored with named groups
    )
    optimizer = gristane(model, cfg)
    assert capsys.readouterr().out == (
        "\n🔧 Configuring Optimizer:\n"
        "├── Type: SGD\n"
        "├── Base LR: 0.001\n"
        "├── Weight Decay: 0.01\n"
        "├── Parameter Groups:\n"
        "│   ├── Group: enc\n"
        "│   │   ├── LR: 0.01\n"
        "│   │   └── Patterns: ['encoder.0', 'embed']\n"
        "│   ├── Group: deep\n"
        "│   │   ├── LR: 0.001\n"
        "│   │   └── Patterns: ['encoder']\n"
        "│   ├── Group: none\n"
        "│   │   ├── LR: 5\n"
        "│   │   └── Patterns: ['missing']\n"
        "│   └── Default Group (unmatched parameters)\n"
        "└── SGD Specific:\n"
        "    ├── Momentum: 0.9\n"
        "    ├── Nesterov: True\n"
        "    └── Dampening: 0\n"
    )
    assert isinstance(optimizer, torch.optim.SGD)
    assert groups(optimizer) == [
        ("embed.weight", 0.01),
        ("encoder.0.weight", 0.01),
        ("encoder.0.bias", 0.01),
        ("encoder.1.weight", 0.001 * 0.5**2),
        ("encoder.1.bias", 0.001 * 0.5**2),
        ("head.weight", 0.001),
        ("head.bias", 0.001),
    ]
    assert optimizer.param_groups[3]["lr"] == 0.00025
    assert all(len(g["params"]) == 1 for g in optimizer.param_groups)
    assert optimizer.param_groups[0]["params"][0] is model.embed.weight
    assert all(set(g) >= {"params", "lr", "name"} for g in optimizer.param_groups)


def test_all_matched_prints_no_default_group(capsys):
    optimizer = gristane(make_model(), config(param_groups=[{"name": "all", "patterns": ["."]}]))
    out = capsys.readouterr().out
    assert "Default Group" not in out
    assert len(optimizer.param_groups) == 8


@pytest.mark.parametrize("count, tail", [(5, ["│   └── ... (2 more layers)"]), (3, [])])
def test_model_wide_decay_report_and_rates(capsys, count, tail):
    model = make_model()
    trainable = list(model.parameters())[:count]
    for p in model.parameters():
        p.requires_grad_(any(p is t for t in trainable))
    optimizer = gristane(model, config("adamw", layer_decay={"enabled": True, "decay_rate": 0.9}))
    lines = capsys.readouterr().out.splitlines()
    assert lines[1:] == [
        "🔧 Configuring Optimizer:",
        "├── Type: ADAMW",
        "├── Base LR: 0.001",
        "├── Weight Decay: 0.01",
        "├── Layer-wise Decay: Enabled",
        "│   └── Decay Rate: 0.9",
        "├── Layer Learning Rates (sample):",
        "│   ├── embed.weight: 0.000900",
        "│   ├── embed.bias: 0.000900",
        "│   ├── encoder.0.weight: 0.000810",
        *tail,
        "└── AdamW Specific:",
        "    ├── Betas: (0.9, 0.98)",
        "    ├── Epsilon: 1e-08",
        "    └── AMSGrad: False",
    ]
    names = [n for n, p in model.named_parameters() if p.requires_grad]
    expected = [("model." + n, 0.001 * 0.9 ** n.count(".")) for n in names]
    assert groups(optimizer) == expected
    assert isinstance(optimizer, torch.optim.AdamW)


@pytest.mark.parametrize("extra", [{}, {"param_groups": []}, {"layer_decay": {"enabled": False}}])
def test_single_group_keeps_frozen_parameters(capsys, extra):
    model = make_model()
    model.head.weight.requires_grad_(False)
    optimizer = gristane(model, config(**extra))
    assert "├── Layer-wise Decay: Disabled\n└── Adam Specific:\n" in capsys.readouterr().out
    (group,) = optimizer.param_groups
    assert (group["name"], group["lr"]) == ("model", 0.001)
    assert len(group["params"]) == 8  # frozen head.weight included


def test_empty_param_groups_falls_back_to_model_wide_decay():
    optimizer = gristane(make_model(), config(param_groups=[], layer_decay={"enabled": True, "decay_rate": 0.5}))
    assert groups(optimizer)[0] == ("model.embed.weight", 0.0005)


@pytest.mark.parametrize(
    "name, cls, expected",
    [
        ("SGD", torch.optim.SGD, {"momentum": 0.9, "nesterov": True, "dampening": 0, "weight_decay": 0.01}),
        ("Adam", torch.optim.Adam, {"betas": (0.9, 0.98), "eps": 1e-08, "amsgrad": False, "weight_decay": 0.01}),
        ("AdamW", torch.optim.AdamW, {"betas": (0.9, 0.98), "eps": 1e-08, "amsgrad": False, "weight_decay": 0.01}),
    ],
)
def test_optimizer_hyper_parameters(capsys, name, cls, expected):
    cfg = config(name)
    cfg["adam"] = {"betas": (0.9, 0.98), "eps": 1e-08, "amsgrad": False}
    cfg["adamw"] = dict(cfg["adam"])
    optimizer = gristane(make_model(), cfg)
    assert type(optimizer) is cls
    assert f"├── Type: {name.upper()}\n" in capsys.readouterr().out
    group = optimizer.param_groups[0]
    assert {k: group[k] for k in expected} == expected


def test_unsupported_optimizer_after_report(capsys):
    with pytest.raises(ValueError, match=r"^Unsupported optimizer: rmsprop$"):
        gristane(make_model(), config("RMSprop"))
    assert capsys.readouterr().out.endswith(
        "├── Type: RMSPROP\n├── Base LR: 0.001\n├── Weight Decay: 0.01\n├── Layer-wise Decay: Disabled\n"
    )


@pytest.mark.parametrize(
    "cfg, key",
    [
        ({"name": "adam", "lr": 0.1}, "weight_decay"),
        ({"lr": 0.1, "weight_decay": 0}, "name"),
        ({"name": "sgd", "lr": 0.1, "weight_decay": 0}, "sgd"),
        ({"name": "sgd", "lr": 0.1, "weight_decay": 0, "sgd": {"momentum": 0.9}}, "nesterov"),
        ({"name": "adam", "lr": 0.1, "weight_decay": 0, "layer_decay": {"enabled": True}}, "decay_rate"),
        ({"name": "adam", "lr": 0.1, "weight_decay": 0, "param_groups": [{"name": "g"}]}, "patterns"),
    ],
)
def test_missing_keys_raise_key_error(capsys, cfg, key):
    with pytest.raises(KeyError) as info:
        gristane(make_model(), cfg)
    assert info.value.args == (key,)


@pytest.mark.parametrize(
    "opt_config, patterns, message",
    [
        (OrderedDict(config()), None, "Argument 'opt_config' must be of type dict, got OrderedDict"),
        (config(), "encoder", "Argument 'patterns' must be of type list, got str"),
        (config(), ["encoder", 3], "Each pattern must be of type str, got int"),
    ],
)
def test_bad_types(capsys, opt_config, patterns, message):
    if patterns is not None:
        opt_config["param_groups"] = [{"name": "g", "patterns": patterns}]
    with pytest.raises(TypeError, match=f"^{message}$"):
        gristane(make_model(), opt_config)


IMPORT_CHECK = """
import importlib, sys
{first}
import velkor.utils
module = sys.modules["velkor.utils.gristane"]
assert module.__name__ == "velkor.utils.gristane"
assert importlib.import_module("velkor.utils.gristane") is module
assert velkor.utils.gristane is module.gristane, "the package exports the function"
from velkor.utils import gristane, create_scheduler
from velkor.utils.gristane import gristane as direct
assert gristane is direct and gristane.__name__ == "gristane"
assert create_scheduler is importlib.import_module("velkor.utils.tamblor").create_scheduler
"""


@pytest.mark.parametrize("first", ["import velkor.utils.gristane", "import velkor.utils.tamblor"])
def test_package_exports_survive_submodule_imports(first):
    # A fresh interpreter, so that the import order under test is the first one it sees.
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    result = subprocess.run([sys.executable, "-c", IMPORT_CHECK.format(first=first)], env=env, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
