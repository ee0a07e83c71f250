"""CPU threads: seconds per training step of the example speech configuration with the threads the
commands pick by default (velkor.cli.default_threads) against one thread and against every core, on
an idle machine and with background processes keeping every core busy.

    PYTHONPATH=src .venv/bin/python benchmarks/bench_threads.py [--steps 3]

Each measurement runs in a fresh process started the way the `velkor` command starts torch: with
OpenMP's passive wait policy set before torch is imported. A step is the joint CTC/attention
training step of examples/configs/asr.yaml's model (d_model 96, 4+2 layers, lstm front-end) on 16
utterances of 3-6 s: forward, label-smoothed cross-entropy + 0.3 CTC, backward, AdamW.

Each setting runs three times in a rotating order and the median counts. Bar: in both conditions
the default is within 1.2x of the better of one thread and every core
(ratio = default / best <= 1.2). The idle condition waits for the load average to settle (up to
three minutes) and the busy one until it shows the background work (up to two), since that is what
the default reads; each line prints the load.
"""

import argparse
import multiprocessing
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def child(threads, steps):
    import torch
    import yaml

    from velkor import cli
    from velkor.model import EncoderDecoderTransformer

    wanted = cli.default_threads() if threads == "default" else int(threads)
    torch.set_num_threads(wanted)
    torch.manual_seed(0)
    config = yaml.safe_load((ROOT / "examples" / "configs" / "asr.yaml").read_text())
    model = EncoderDecoderTransformer(input_dim=80, num_classes=48, **config["model"])
    optimizer = torch.optim.AdamW(model.parameters(), lr=1e-3)
    batch, frames = 16, torch.randint(300, 600, (16,))
    feats = torch.randn(batch, int(frames.max()), 80)
    targets = torch.randint(4, 48, (batch, 60))
    target_lengths = torch.randint(30, 60, (batch,))
    ce = torch.nn.CrossEntropyLoss(ignore_index=0, label_smoothing=0.1)

    def step():
        optimizer.zero_grad(set_to_none=True)
        logits, _, ctc = model(feats, targets[:, :-1], frames, target_lengths)
        loss = ce(logits.reshape(-1, logits.shape[-1]), targets[:, 1:].reshape(-1))
        ctc_loss = torch.nn.functional.ctc_loss(ctc["log_probs"], targets, ctc["lengths"], target_lengths, zero_infinity=True)
        (loss + 0.3 * ctc_loss).backward()
        optimizer.step()

    model.train()
    step()  # warm-up
    start = time.perf_counter()
    for _ in range(steps):
        step()
    print(wanted, (time.perf_counter() - start) / steps)


def measure(threads, steps):
    env = {**os.environ, "OMP_WAIT_POLICY": "PASSIVE", "PYTHONPATH": os.pathsep.join([str(ROOT / "src"), os.environ.get("PYTHONPATH", "")])}
    out = subprocess.run(
        [sys.executable, __file__, "--child", str(threads), "--steps", str(steps)], env=env, check=True, capture_output=True, text=True
    )
    used, seconds = out.stdout.split()
    return int(used), float(seconds)


def busy():
    while True:
        pass


def condition(name, steps, cores, rounds=3):
    """Each setting measured `rounds` times, the settings in a rotating order; the median counts."""
    settings = [("default", "default"), ("one", 1), ("all", cores)]
    times = {label: [] for label, _ in settings}
    used = {}
    for r in range(rounds):
        for label, threads in settings[r % 3 :] + settings[: r % 3]:
            used[label], seconds = measure(threads, steps)
            times[label].append(seconds)
    median = {label: statistics.median(t) for label, t in times.items()}
    best = min(median["one"], median["all"])
    ratio = median["default"] / best
    print(
        f"{name:5s} default ({used['default']} threads) {median['default']:.2f} s/step, "
        f"1 thread {median['one']:.2f}, {cores} threads {median['all']:.2f}: default/best = {ratio:.2f} (bar <= 1.2), "
        f"load {os.getloadavg()[0]:.1f}"
    )
    return ratio


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--child")
    parser.add_argument("--steps", type=int, default=3)
    args = parser.parse_args()
    if args.child:
        child(args.child, args.steps)
        return
    cores = len(os.sched_getaffinity(0))
    deadline = time.time() + 180  # the idle condition waits for the load average to settle
    while os.getloadavg()[0] > 0.7 and time.time() < deadline:
        time.sleep(5)
    ratios = [condition("idle", args.steps, cores)]
    workers = [multiprocessing.Process(target=busy, daemon=True) for _ in range(cores)]
    for w in workers:
        w.start()
    try:
        deadline = time.time() + 120
        while os.getloadavg()[0] < cores - 0.5 and time.time() < deadline:
            time.sleep(2)
        ratios.append(condition("busy", args.steps, cores))
    finally:
        for w in workers:
            w.terminate()
    print(f"worst default/best = {max(ratios):.2f} (bar <= 1.2)")


if __name__ == "__main__":
    main()
