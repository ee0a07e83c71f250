"""Scheduler factory, epoch-to-step conversion and the schedule preview plot."""

import copy

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pytest  # noqa: E402
import torch  # noqa: E402
from torch.optim import lr_scheduler as lrs  # noqa: E402

from velkor.utils import create_scheduler  # noqa: E402
from velkor.utils.tamblor import _epochs_to_steps, create_warmup_scheduler, plot_lr_schedule  # noqa: E402


def make_optimizer(num_groups=1, lr=0.1, cls=torch.optim.SGD):
    params = [torch.nn.Parameter(torch.ones(2)) for _ in range(num_groups)]
    return cls([{"params": [p], "lr": lr * (i + 1)} for i, p in enumerate(params)])


def loader(batches):
    return range(batches)  # only len() is used


def lr_curve(scheduler, optimizer, steps):
    out = []
    for _ in range(steps):
        out.append([g["lr"] for g in optimizer.param_groups])
        optimizer.step()
        scheduler.step()
    return out


HEADER = "\n📈 Configuring Learning Rate Scheduler:\n"


@pytest.mark.parametrize(
    "cfg, batches, accumulation, report",
    [
        (
            {"name": "Cosine", "cosine": {}},
            100,
            1,
            "├── Type: COSINE\n├── Cosine Annealing Settings:\n│   ├── T_max: 60 epochs (6000 steps)\n│   └── Min LR: 0.0001\n"
            "└── Warmup: Disabled\n",
        ),
        (
            {"name": "COSINE_WARM", "cosine_warm": {"T_0": 3, "eta_min": 1e-05}, "warmup": {"enabled": True, "epochs": 2}},
            10,
            4,
            "├── Type: COSINE_WARM\n├── Cosine Annealing Warm Restarts Settings:\n│   ├── T_0: 3 epochs (9 steps)\n"
            "│   ├── T_mult: 2\n│   └── Min LR: 1e-05\n├── Warmup Settings:\n│   ├── Duration: 2 epochs (6 steps)\n"
            "│   ├── Start Factor: 0.1\n│   └── End Factor: 1.0\n",
        ),
        (
            {"name": "reduce_lr", "reduce_lr": {"patience": 3, "cooldown": 2}, "warmup": {"enabled": False}},
            10,
            1,
            "├── Type: REDUCE_LR\n├── ReduceLROnPlateau Settings:\n│   ├── Mode: min\n│   ├── Factor: 0.1\n"
            "│   ├── Patience: 3 epochs\n│   ├── Threshold: 0.0001\n│   ├── Threshold Mode: rel\n"
            "│   ├── Cooldown: 2 epochs\n│   └── Min LR: 1e-05\n└── Warmup: Disabled\n",
        ),
    ],
)
def test_reports(capsys, cfg, batches, accumulation, report):
    create_scheduler(make_optimizer(), cfg, loader(batches), accumulation)
    assert capsys.readouterr().out == HEADER + report


@pytest.mark.parametrize(
    "section, expected",
    [
        (
            {
                "mode": "max",
                "factor": 0.5,
                "patience": 3,
                "threshold": 0.01,
                "threshold_mode": "abs",
                "cooldown": 2,
                "min_lr": 0.001,
                "eps": 1e-6,
            },
            ("max", 0.5, 3, 0.01, "abs", 2, [0.001], 1e-6),
        ),
        ({}, ("min", 0.1, 10, 1e-4, "rel", 0, [1e-5], 1e-8)),
    ],
)
def test_plateau_settings_are_passed_unconverted(section, expected):
    # Patience and cooldown stay in epochs whatever the loader length and accumulation.
    s = create_scheduler(make_optimizer(), {"name": "reduce_lr", "reduce_lr": section}, loader(50), 5)
    assert type(s) is lrs.ReduceLROnPlateau
    assert (s.mode, s.factor, s.patience, s.threshold, s.threshold_mode, s.cooldown, s.min_lrs, s.eps) == expected


@pytest.mark.parametrize(
    "cfg, build",
    [
        ({"name": "cosine", "cosine": {"T_max": 2, "eta_min": 0.001}}, lambda o: lrs.CosineAnnealingLR(o, T_max=2 * 3, eta_min=0.001)),
        (
            {"name": "cosine_warm", "cosine_warm": {"T_0": 1, "T_mult": 2}},
            lambda o: lrs.CosineAnnealingWarmRestarts(o, T_0=3, T_mult=2, eta_min=1e-4),
        ),
        (
            {"name": "cosine", "cosine": {"T_max": 4}, "warmup": {"enabled": True, "epochs": 2, "start_factor": 0.2}},
            lambda o: _chain(o, lrs.CosineAnnealingLR(o, T_max=12, eta_min=1e-4), 0.2, 1.0, 6),
        ),
        (
            {"name": "cosine_warm", "cosine_warm": {"T_0": 2}, "warmup": {"enabled": True, "epochs": 1, "end_factor": 0.5}},
            lambda o: _chain(o, lrs.CosineAnnealingWarmRestarts(o, T_0=6, T_mult=2, eta_min=1e-4), 0.1, 0.5, 3),
        ),
    ],
)
def test_curves_match_torch_schedulers(capsys, cfg, build):
    # 10 batches with accumulation 4: the trainers make 3 updates per epoch (4, 8 and the flush).
    ours_opt, ref_opt = make_optimizer(2), make_optimizer(2)
    ours = create_scheduler(ours_opt, cfg, loader(10), 4)
    ref = build(ref_opt)
    assert type(ours) is type(ref)
    assert lr_curve(ours, ours_opt, 40) == lr_curve(ref, ref_opt, 40)


def _chain(optimizer, base, start, end, steps):
    warm = lrs.LinearLR(optimizer, start_factor=start, end_factor=end, total_iters=steps)
    return lrs.SequentialLR(optimizer, [warm, base], milestones=[steps])


def trainer_updates(batches, accumulation):
    """The number of optimizer updates a trainer's epoch makes: one per full group plus a flush."""
    return sum(1 for i in range(batches) if (i + 1) % accumulation == 0) + (batches % accumulation != 0)


@pytest.mark.parametrize("batches, accumulation", [(10, 4), (8, 4), (7, 1), (3, 4)])
def test_steps_count_trainer_updates(batches, accumulation):
    per_epoch = trainer_updates(batches, accumulation)
    assert _epochs_to_steps(3, loader(batches), accumulation) == 3 * per_epoch
    optimizer = make_optimizer()
    s = create_scheduler(
        optimizer, {"name": "cosine", "cosine": {"T_max": 5}, "warmup": {"enabled": True, "epochs": 2}}, loader(batches), accumulation
    )
    warmup, cosine = s._schedulers
    assert warmup.total_iters == 2 * per_epoch and s._milestones == [2 * per_epoch]
    assert cosine.T_max == 5 * per_epoch
    # After the warm-up epochs, driven as the trainers drive it, the full rate is reached.
    for _ in range(2 * per_epoch):
        optimizer.step()
        s.step()
    assert optimizer.param_groups[0]["lr"] == pytest.approx(0.1)


def test_warmup_scheduler_counts_batches():
    optimizer = make_optimizer()
    base = lrs.CosineAnnealingLR(optimizer, T_max=1000)
    s = create_warmup_scheduler(optimizer, base, {"epochs": 2}, loader(50))
    assert type(s) is lrs.SequentialLR
    warmup, chained = s._schedulers
    assert chained is base and type(warmup) is lrs.LinearLR
    assert (warmup.total_iters, warmup.start_factor, warmup.end_factor, s._milestones) == (100, 0.1, 1.0, [100])
    other = make_optimizer()
    assert create_warmup_scheduler(other, lrs.ConstantLR(other, factor=1.0), {}, loader(3))._milestones == [15]


def test_reduce_lr_with_warmup_fails_after_type_line(capsys):
    cfg = {"name": "reduce_lr", "reduce_lr": {}, "warmup": {"enabled": True}}
    with pytest.raises(ValueError) as info:
        create_scheduler(make_optimizer(), cfg, loader(10))
    assert str(info.value) == (
        "ReduceLROnPlateau scheduler cannot be combined with warmup. Please either disable warmup or use a different "
        "scheduler (cosine, cosine_warm)."
    )
    assert capsys.readouterr().out == HEADER + "├── Type: REDUCE_LR\n"


@pytest.mark.parametrize(
    "args, error, message",
    [
        (
            ({"name": "Linear"}, loader(10), 1),
            ValueError,
            "Unsupported scheduler: linear. Supported: ['reduce_lr', 'cosine', 'cosine_warm']",
        ),
        (({"name": "cosine"}, loader(10), 1), KeyError, "'cosine'"),
        (({"cosine": {}}, loader(10), 1), KeyError, "'name'"),
        (({"name": "cosine", "cosine": {}}, loader(10), 0), ZeroDivisionError, "integer division or modulo by zero"),
        (({"name": "cosine", "cosine": {}}, loader(10), -2), ValueError, "gradient_accumulation_steps must be a positive integer, got -2"),
        (
            ({"name": "cosine", "cosine": {}}, loader(10), True),
            TypeError,
            "Argument 'gradient_accumulation_steps' must be of type int, got bool",
        ),
        (([("name", "cosine")], loader(10), 1), TypeError, "Argument 'scheduler_config' must be of type dict, got list"),
        (({"name": "cosine", "cosine": {"T_max": 2.5}}, loader(10), 1), TypeError, "Argument 'epochs' must be of type int, got float"),
    ],
)
def test_create_scheduler_errors(capsys, args, error, message):
    with pytest.raises(error) as info:
        create_scheduler(make_optimizer(), *args)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: _epochs_to_steps(2.0, loader(3)), "Argument 'epochs' must be of type int, got float"),
        (lambda: _epochs_to_steps(2, loader(3), 1.0), "Argument 'gradient_accumulation_steps' must be of type int, got float"),
        (
            lambda: create_warmup_scheduler(make_optimizer(), None, None, loader(3)),
            "Argument 'warmup_config' must be of type dict, got NoneType",
        ),
        (lambda: plot_lr_schedule(None, 1.5, loader(3)), "Argument 'num_epochs' must be of type int, got float"),
        (lambda: plot_lr_schedule(None, 1, loader(3), None), "Argument 'gradient_accumulation_steps' must be of type int, got NoneType"),
        (lambda: plot_lr_schedule(None, 1, loader(3), 1, "5"), "Argument 'max_groups' must be of type int, got str"),
    ],
)
def test_type_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


# ---------------------------------------------------------------------------------------------
# Preview plot


@pytest.fixture
def shown(monkeypatch):
    """Collects the figures plot_lr_schedule shows."""
    figures = []
    monkeypatch.setattr(plt, "show", lambda *a, **k: figures.append(plt.gcf()))
    yield figures
    plt.close("all")


def test_plot_drawing(capsys, shown):
    optimizer = make_optimizer(7)
    scheduler = lrs.CosineAnnealingLR(optimizer, T_max=30)
    plot_lr_schedule(scheduler, 3, loader(10))
    assert capsys.readouterr().out == "Warning: Only showing 5 out of 7 parameter groups for clarity\n"
    (fig,) = shown
    assert tuple(fig.get_size_inches()) == (12, 4)
    ax, top = fig.axes
    assert [line.get_label() for line in ax.lines] == [f"Group {i}" for i in range(5)]
    assert [line.get_color() for line in ax.lines] == ["#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd"]
    assert [line.get_linestyle() for line in ax.lines] == ["-", "--", "-.", ":", "-"]
    assert {line.get_linewidth() for line in ax.lines} == {2}
    x = ax.lines[0].get_xdata()
    assert len(x) == 30 and x[0] == 0 and x[-1] == 3
    np.testing.assert_allclose(x, np.linspace(0, 3, 30))
    assert (ax.get_xlabel(), ax.xaxis.label.get_fontsize()) == ("Epoch", 12)
    assert (ax.get_ylabel(), ax.yaxis.label.get_fontsize()) == ("Learning Rate", 12)
    assert (ax.get_title(), ax.title.get_fontsize()) == ("Learning Rate Schedule", 14)
    assert ax.get_yscale() == "log"
    assert all(g.get_visible() and g.get_alpha() == 0.3 for g in ax.get_xgridlines())
    legend = ax.get_legend()
    assert legend._loc == 2  # "upper left"
    assert tuple(legend.get_bbox_to_anchor().transformed(ax.transAxes.inverted()).bounds[:2]) == pytest.approx((1.05, 1))
    assert (top.get_xlim(), top.get_xlabel(), top.xaxis.label.get_fontsize()) == ((0, 30), "Steps", 12)
    assert top.get_shared_y_axes().joined(top, ax)
    # The curves are the schedule itself, group by group.
    reference_opt = make_optimizer(7)
    expected = lr_curve(lrs.CosineAnnealingLR(reference_opt, T_max=30), reference_opt, 30)
    for g in range(5):
        assert list(ax.lines[g].get_ydata()) == [row[g] for row in expected]


@pytest.mark.parametrize("num_groups, max_groups, drawn", [(7, 6, 6), (2, 5, 2)])
def test_plot_group_count_and_style_cycle(capsys, shown, num_groups, max_groups, drawn):
    plot_lr_schedule(lrs.CosineAnnealingLR(make_optimizer(num_groups), T_max=30), 1, loader(4), max_groups=max_groups)
    warning = f"Warning: Only showing {max_groups} out of {num_groups} parameter groups for clarity\n"
    assert capsys.readouterr().out == (warning if num_groups > max_groups else "")
    lines = shown[0].axes[0].lines
    assert len(lines) == drawn
    assert [(line.get_color(), line.get_linestyle()) for line in lines[5:]] == [(lines[0].get_color(), "-")] * max(drawn - 5, 0)


def test_plot_plateau_staircase(shown):
    optimizer = make_optimizer()
    scheduler = lrs.ReduceLROnPlateau(optimizer, patience=2, factor=0.5)
    plot_lr_schedule(scheduler, 6, loader(10))
    ax, top = shown[0].axes
    y = list(ax.lines[0].get_ydata())
    assert len(y) == 60 and top.get_xlim() == (0, 60)
    assert all(b <= a for a, b in zip(y, y[1:]))
    reference_opt = make_optimizer()
    reference = lrs.ReduceLROnPlateau(reference_opt, patience=2, factor=0.5)
    expected = []
    for metric in [1.0, 0.0, 0.0, 1.0, 0.0, 0.0]:
        expected += [reference_opt.param_groups[0]["lr"]] * 10
        reference.step(metric)
    assert y == expected
    assert min(y) < max(y)


def make_trained(cls=torch.optim.Adam):
    model = torch.nn.Linear(2, 2)
    optimizer = cls(model.parameters(), lr=0.01)
    model(torch.ones(1, 2)).sum().backward()
    optimizer.step()  # leaves optimizer state to be restored
    return model, optimizer


@pytest.mark.parametrize("kind", ["cosine", "warm", "plateau"])
def test_plot_restores_state_and_leaves_model_untouched(shown, kind):
    def build(optimizer):
        if kind == "cosine":
            return lrs.CosineAnnealingLR(optimizer, T_max=7, eta_min=0.001)
        if kind == "plateau":
            return lrs.ReduceLROnPlateau(optimizer, patience=0, factor=0.5)
        return _chain(optimizer, lrs.CosineAnnealingWarmRestarts(optimizer, T_0=4), 0.1, 1.0, 3)

    def drive(scheduler, optimizer, steps):
        out = []
        for i in range(steps):
            optimizer.step()
            if kind == "plateau":
                scheduler.step(float(i % 2))
            else:
                scheduler.step()
            out.append(optimizer.param_groups[0]["lr"])
        return out

    model, optimizer = make_trained()
    twin_model, twin_optimizer = copy.deepcopy((model, optimizer))
    scheduler, twin = build(optimizer), build(twin_optimizer)
    drive(scheduler, optimizer, 2), drive(twin, twin_optimizer, 2)
    weights = [p.detach().clone() for p in model.parameters()]
    grads = [p.grad for p in model.parameters()]
    state = copy.deepcopy(optimizer.state_dict())

    plot_lr_schedule(scheduler, 4, loader(5))

    assert scheduler.optimizer is optimizer
    assert all(torch.equal(a, b) for a, b in zip(weights, model.parameters()))
    assert all(p.grad is g for p, g in zip(model.parameters(), grads))
    restored = optimizer.state_dict()
    assert restored["param_groups"] == state["param_groups"]
    assert all(torch.equal(restored["state"][0][k], state["state"][0][k]) for k in ("step", "exp_avg", "exp_avg_sq"))
    assert drive(scheduler, optimizer, 12) == drive(twin, twin_optimizer, 12)


def test_plot_failure_restores_state(shown):
    model, optimizer = make_trained(torch.optim.SGD)
    scheduler = lrs.LambdaLR(optimizer, lambda e: 1.0 / (4 - e))  # fails at the fourth step
    grads = [p.grad for p in model.parameters()]
    with pytest.raises(ZeroDivisionError):
        plot_lr_schedule(scheduler, 2, loader(5))
    assert not shown
    assert scheduler.last_epoch == 0 and optimizer.param_groups[0]["lr"] == 0.01 / 4
    assert all(p.grad is g for p, g in zip(model.parameters(), grads))


def test_plot_accumulation_and_save_path(tmp_path, shown):
    optimizer = make_optimizer()
    path = tmp_path / "schedule.png"
    plot_lr_schedule(lrs.CosineAnnealingLR(optimizer, T_max=6), 2, loader(10), 4, save_path=str(path))
    ax, top = shown[0].axes
    assert len(ax.lines[0].get_xdata()) == 2 * 3 and top.get_xlim() == (0, 6)
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("epochs, batches, accumulation", [(2**62, 4, 1), (2**63 - 1, 2**40, 3), (-(2**62), 8, 1)])
def test_step_counts_do_not_wrap(epochs, batches, accumulation):
    per_epoch = -(-batches // accumulation)
    assert _epochs_to_steps(epochs, range(batches), accumulation) == epochs * per_epoch
    s = create_scheduler(make_optimizer(), {"name": "cosine", "cosine": {"T_max": epochs}}, range(batches), accumulation)
    assert s.T_max == epochs * per_epoch


@pytest.mark.parametrize("name", ["cosine", "reduce_lr"])
def test_a_preview_too_long_to_count_is_refused(name):
    optimizer = make_optimizer()
    scheduler = lrs.CosineAnnealingLR(optimizer, 10) if name == "cosine" else lrs.ReduceLROnPlateau(optimizer)
    with pytest.raises(ValueError, match="The number of steps to plot is out of range"):
        plot_lr_schedule(scheduler, 2**62, range(8))
