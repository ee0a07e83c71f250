"""Optimization setup: our factories and preview against plain-Python twins doing the same work.

Prints time(ours) / time(python) for each case; below 1.0 means ours is faster. The last line is
the worst ratio. Run: PYTHONPATH=src .venv/bin/python benchmarks/bench_utils.py
"""

import contextlib
import copy
import io
import time

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import torch  # noqa: E402
from torch import nn  # noqa: E402
from torch.optim import lr_scheduler as lrs  # noqa: E402

from velkor.utils import create_scheduler, gristane  # noqa: E402
from velkor.utils.tamblor import plot_lr_schedule  # noqa: E402


def python_gristane(model, opt_config):
    opt_name = opt_config["name"].lower()
    base_lr = opt_config["lr"]
    print("\n🔧 Configuring Optimizer:")
    print(f"├── Type: {opt_name.upper()}")
    print(f"├── Base LR: {base_lr}")
    print(f"├── Weight Decay: {opt_config['weight_decay']}")
    parameter_groups = []
    param_groups_config = opt_config.get("param_groups", [])
    if param_groups_config:
        print("├── Parameter Groups:")
        assigned = set()
        for group_cfg in param_groups_config:
            group_params = []
            group_lr = group_cfg.get("lr", base_lr)
            patterns = group_cfg["patterns"]
            print(f"│   ├── Group: {group_cfg['name']}")
            print(f"│   │   ├── LR: {group_lr}")
            print(f"│   │   └── Patterns: {patterns}")
            decay = group_cfg.get("layer_decay", {})
            use_decay, rate = decay.get("enabled", False), decay.get("decay_rate", 1.0)
            for name, param in model.named_parameters():
                if not param.requires_grad or not any(p in name for p in patterns) or name in assigned:
                    continue
                assigned.add(name)
                lr = group_lr * rate ** name.count(".") if use_decay else group_lr
                group_params.append({"params": param, "lr": lr, "name": name})
            parameter_groups.extend(group_params)
        rest = [{"params": p, "lr": base_lr, "name": n} for n, p in model.named_parameters() if p.requires_grad and n not in assigned]
        if rest:
            print("│   └── Default Group (unmatched parameters)")
            parameter_groups.extend(rest)
    adam = opt_config["adam"]
    print("└── Adam Specific:")
    print(f"    ├── Betas: {adam['betas']}")
    print(f"    ├── Epsilon: {adam['eps']}")
    print(f"    └── AMSGrad: {adam['amsgrad']}")
    return torch.optim.Adam(
        parameter_groups, betas=adam["betas"], eps=adam["eps"], weight_decay=opt_config["weight_decay"], amsgrad=adam["amsgrad"]
    )


def python_plot(scheduler, num_epochs, batches, max_groups=5):
    optimizer = scheduler.optimizer
    saved, opt_saved = copy.deepcopy(scheduler.state_dict()), copy.deepcopy(optimizer.state_dict())
    groups = optimizer.param_groups[:max_groups]
    lrs_ = [[] for _ in groups]
    total = num_epochs * batches
    for _ in range(total):
        for i, g in enumerate(groups):
            lrs_[i].append(g["lr"])
        optimizer.step()
        scheduler.step()
    x = np.linspace(0, num_epochs, total)
    optimizer.load_state_dict(opt_saved)
    scheduler.load_state_dict(saved)
    plt.figure(figsize=(12, 4))
    colors = ["#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd"]
    styles = ["-", "--", "-.", ":", "-"]
    for i, y in enumerate(lrs_):
        plt.plot(x, y, label=f"Group {i}", color=colors[i % 5], linestyle=styles[i % 5], linewidth=2)
    plt.xlabel("Epoch", fontsize=12)
    plt.ylabel("Learning Rate", fontsize=12)
    plt.title("Learning Rate Schedule", fontsize=14, pad=20)
    plt.grid(True, alpha=0.3)
    plt.legend(bbox_to_anchor=(1.05, 1), loc="upper left")
    plt.yscale("log")
    ax2 = plt.gca().twiny()
    ax2.set_xlim(0, len(x))
    ax2.set_xlabel("Steps", fontsize=12)
    plt.tight_layout()
    plt.show()


def timed(fn):
    with contextlib.redirect_stdout(io.StringIO()):
        start = time.perf_counter()
        fn()
        elapsed = time.perf_counter() - start
    plt.close("all")
    return elapsed


def measure(ours, python, repeat):
    """Best time of ours over best time of the twin, the two run alternately so that load on a
    shared machine hits both alike."""
    best_ours = best_python = float("inf")
    for _ in range(repeat):
        best_ours = min(best_ours, timed(ours))
        best_python = min(best_python, timed(python))
    return best_ours / best_python


def main():
    plt.show = lambda *a, **k: None
    layer = nn.TransformerEncoderLayer(256, 4, 1024, batch_first=True)
    model = nn.ModuleDict({"encoder": nn.TransformerEncoder(layer, 24, enable_nested_tensor=False), "head": nn.Linear(256, 100)})
    cfg = {
        "name": "adam",
        "lr": 1e-3,
        "weight_decay": 0.01,
        "adam": {"betas": (0.9, 0.98), "eps": 1e-8, "amsgrad": False},
        "param_groups": [
            {"name": "attn", "patterns": ["self_attn", "attention"], "lr": 5e-4, "layer_decay": {"enabled": True, "decay_rate": 0.9}},
            {"name": "ffn", "patterns": ["linear1", "linear2"], "lr": 2e-4},
            {"name": "norm", "patterns": ["norm"], "lr": 1e-4},
        ],
    }
    n = sum(1 for _ in model.parameters())
    ratios = {}
    ratios[f"gristane, {n} parameters, 3 pattern groups"] = measure(lambda: gristane(model, cfg), lambda: python_gristane(model, cfg), 30)

    def ours_plot():
        opt = torch.optim.SGD([torch.nn.Parameter(torch.ones(4)) for _ in range(3)], lr=0.1)
        plot_lr_schedule(lrs.CosineAnnealingLR(opt, T_max=2000), 20, range(100))

    def python_twin_plot():
        opt = torch.optim.SGD([torch.nn.Parameter(torch.ones(4)) for _ in range(3)], lr=0.1)
        python_plot(lrs.CosineAnnealingLR(opt, T_max=2000), 20, 100)

    ratios["plot_lr_schedule, 2000 steps, 3 groups"] = measure(ours_plot, python_twin_plot, 5)

    # Each run gets a fresh optimizer: chaining schedulers rewinds their counters, so reusing one
    # would make later runs do different work.
    params = [torch.nn.Parameter(torch.ones(4))]
    sched_cfg = {"name": "cosine", "cosine": {"T_max": 10}, "warmup": {"enabled": True, "epochs": 1}}

    def python_scheduler():
        opt = torch.optim.SGD(params, lr=0.1)
        name = sched_cfg["name"].lower()
        steps_per_epoch = len(range(100))
        print("\n📈 Configuring Learning Rate Scheduler:")
        print(f"├── Type: {name.upper()}")
        cosine = sched_cfg["cosine"]
        print("├── Cosine Annealing Settings:")
        print(f"│   ├── T_max: {cosine.get('T_max', 60)} epochs ({cosine.get('T_max', 60) * steps_per_epoch} steps)")
        print(f"│   └── Min LR: {cosine.get('eta_min', 1e-4)}")
        warmup = sched_cfg.get("warmup", {})
        print("├── Warmup Settings:")
        print(f"│   ├── Duration: {warmup.get('epochs', 5)} epochs ({warmup.get('epochs', 5) * steps_per_epoch} steps)")
        print(f"│   ├── Start Factor: {warmup.get('start_factor', 0.1)}")
        print(f"│   └── End Factor: {warmup.get('end_factor', 1.0)}")
        main_ = lrs.CosineAnnealingLR(opt, T_max=1000, eta_min=1e-4, last_epoch=-1)
        warm = lrs.LinearLR(opt, start_factor=0.1, end_factor=1.0, total_iters=100)
        return lrs.SequentialLR(opt, schedulers=[warm, main_], milestones=[100])

    ratios["create_scheduler, cosine + warm-up"] = measure(
        lambda: create_scheduler(torch.optim.SGD(params, lr=0.1), sched_cfg, range(100)), python_scheduler, 300
    )

    for label, ratio in ratios.items():
        print(f"{label}: ours/python = {ratio:.2f}")
    worst = max(ratios, key=ratios.get)
    print(f"worst: {worst}: {ratios[worst]:.2f}")


if __name__ == "__main__":
    main()
