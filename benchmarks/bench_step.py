"""Seconds per training step of the example speech model, before and after, and per front-end.

One step is what the speech trainer does for a batch: the model's forward pass on 16 utterances of
3-6 s (100 frames a second, 80 filter-bank features, ~15 characters a second), label-smoothed
cross-entropy plus 0.3 x CTC, backward, AdamW. The model is examples/configs/asr.yaml's: d_model 96,
4 encoder and 2 decoder layers of 4 heads, d_ff 384, dropout 0.1, time reduction 4.

    before   lstm front-end as it ran: attention maps built in every layer (need_weights=True), the
             recurrent stage through packed sequences (selected by a no-op forward hook on each LSTM,
             which makes the stage call the module itself)
    maps     lstm front-end, the recurrent stage without packing, attention maps still built
    after    lstm front-end, need_weights=False, the recurrent stage without packing
    conv, lstm, stack, conv2d   each front-end with need_weights=False
    conformer    "after" with Conformer encoder layers (model.encoder: conformer, conv_kernel_size 15)

Configurations run side by side in rotating rounds on the same batch; each figure is the median
over rounds of the fastest step in the round, which keeps it steady on a shared machine.

    PYTHONPATH=src .venv/bin/python benchmarks/bench_step.py [--rounds N] [--steps N] [--threads N]
                                                             [--amp] [--profile NAME] [--only NAME,NAME]

--amp runs forward and loss under bfloat16 autocast, as the trainer does on the CPU by default;
--profile NAME prints the torch profiler's table of one configuration's steps instead; --only runs
just the configurations named (e.g. --only after,conformer: Transformer against Conformer encoder).
"""

import argparse
import statistics
import time

import torch
from torch import nn

from velkor.model import EncoderDecoderTransformer

VOCAB = 32
MODEL = dict(
    d_model=96,
    num_encoder_layers=4,
    num_decoder_layers=2,
    num_encoder_heads=4,
    num_decoder_heads=4,
    d_ff_encoder=384,
    d_ff_decoder=384,
    dropout=0.1,
    max_len=512,
    time_reduction=4,
)


def make_batch(batch=16, seed=1):
    g = torch.Generator().manual_seed(seed)
    frames = torch.randint(300, 601, (batch,), generator=g)
    chars = frames * 15 // 100
    feats = torch.randn(batch, int(frames.max()), 80, generator=g)
    targets = torch.randint(3, VOCAB, (batch, int(chars.max())), generator=g)
    for i, n in enumerate(chars.tolist()):
        targets[i, n:] = 0
    shifted = torch.cat([torch.full((batch, 1), 1), targets[:, :-1]], 1)
    return feats, shifted, targets, frames, chars


class Config:
    def __init__(self, name, method, need_weights, packed=False, **extra):
        torch.manual_seed(0)
        self.name, self.need_weights = name, need_weights
        self.model = EncoderDecoderTransformer(80, VOCAB, reduction_method=method, **MODEL, **extra).train()
        if packed:  # a hooked LSTM is called as a module: the packed-sequence path
            for lstm in (self.model.source_embedding.blstm.blstm1, self.model.source_embedding.blstm.blstm2):
                lstm.register_forward_hook(lambda *args: None)
        self.optimizer = torch.optim.AdamW(self.model.parameters(), lr=2e-3, weight_decay=0.01)
        self.params = sum(p.numel() for p in self.model.parameters())
        self.front = sum(p.numel() for p in self.model.source_embedding.parameters())


CE = nn.CrossEntropyLoss(ignore_index=0, label_smoothing=0.1)
CTC = nn.CTCLoss(blank=0, zero_infinity=True)


def step(config, batch, amp):
    feats, shifted, targets, frames, chars = batch
    with torch.autocast("cpu", dtype=torch.bfloat16, enabled=amp):
        logits, _, ctc = config.model(feats, shifted, frames, chars, need_weights=config.need_weights)
        loss = CE(logits.reshape(-1, VOCAB), targets.reshape(-1)) + 0.3 * CTC(ctc["log_probs"].float(), targets, ctc["lengths"], chars)
    loss.backward()
    config.optimizer.step()
    config.optimizer.zero_grad(set_to_none=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--steps", type=int, default=2, help="steps per configuration and round")
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--amp", action="store_true")
    parser.add_argument("--profile", default=None)
    parser.add_argument("--only", default=None, help="comma-separated configurations to run (default: all)")
    args = parser.parse_args()
    torch.set_num_threads(args.threads)

    makers = {
        "before": lambda: Config("before", "lstm", True, packed=True),
        "maps": lambda: Config("maps", "lstm", True),
        "after": lambda: Config("after", "lstm", False),
        "conv": lambda: Config("conv", "conv", False),
        "stack": lambda: Config("stack", "stack", False),
        "conv2d": lambda: Config("conv2d", "conv2d", False),
        "conformer": lambda: Config("conformer", "lstm", False, encoder="conformer", conv_kernel_size=15),
    }
    names = list(makers) if args.only is None else args.only.split(",")
    unknown = [n for n in names if n not in makers]
    if unknown:
        parser.error(f"unknown configuration(s) {', '.join(unknown)}; known: {', '.join(makers)}")
    configs = [makers[n]() for n in names]
    batch = make_batch()
    for c in configs:
        step(c, batch, args.amp)  # warm-up

    if args.profile:
        from torch.profiler import profile

        config = next(c for c in configs if c.name == args.profile)
        with profile() as prof:
            for _ in range(args.steps):
                step(config, batch, args.amp)
        print(prof.key_averages().table(sort_by="self_cpu_time_total", row_limit=25))
        return

    times = {c.name: [] for c in configs}
    for r in range(args.rounds):
        order = configs[r % len(configs) :] + configs[: r % len(configs)]
        for c in order:
            best = float("inf")
            for _ in range(args.steps):
                start = time.perf_counter()
                step(c, batch, args.amp)
                best = min(best, time.perf_counter() - start)
            times[c.name].append(best)
    sec = {name: statistics.median(t) for name, t in times.items()}

    print(f"one training step, batch 16 of 3-6 s, {'bfloat16 autocast' if args.amp else 'float32'}, {args.threads} thread(s)")
    print(f"{'configuration':<14}{'s/step':>9}{'vs before':>11}{'vs after':>10}{'params':>11}{'front-end':>11}")

    def ratio(name, base, width):
        return f"{sec[name] / sec[base]:>{width - 1}.2f}x" if base in sec else f"{'-':>{width}}"

    for c in configs:
        label = {"before": "lstm (before)", "maps": "lstm (maps)", "after": "lstm (after)"}.get(c.name, c.name)
        print(f"{label:<14}{sec[c.name]:>9.3f}{ratio(c.name, 'before', 11)}{ratio(c.name, 'after', 10)}{c.params:>11,}{c.front:>11,}")
    if "before" in sec and "after" in sec:
        print(f"before / after: {sec['before'] / sec['after']:.2f}x faster")
    if "conformer" in sec and "after" in sec:
        print(f"conformer / transformer encoder: {sec['conformer'] / sec['after']:.2f}x the seconds per step")


if __name__ == "__main__":
    main()
