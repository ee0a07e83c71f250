"""Data pipeline benchmark: each figure is ours against the floor, measured side by side in one run.

- ASRDataset construction ("global_mvn", speech corpus) vs np.load of the same files (bar 1.5x)
- LMDataset construction (text corpus) vs np.load of the same files (bar 2x)
- ASRDataset.collate_fn with SpecAugment, batch 32, vs pad_sequence of the same items (bar 2x)
- peak resident memory growth while building the ASRDataset vs the raw feature bytes (bar 1.3x)

Run: PYTHONPATH=src .venv/bin/python benchmarks/bench_data.py [--utterances 3000] [--texts 50000]
"""

import argparse
import contextlib
import io
import os
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np
import torch

from velkor.data import ASRDataset, BrixTokenizer, LMDataset

WORDS = "the of and to a in that is was he for it with as his on be at by had not are but from or have".split()


def sentence(rng, words):
    return " ".join(rng.choice(WORDS, size=words))


def build_speech(root, count, rng):
    fbank, text = os.path.join(root, "train", "fbank"), os.path.join(root, "train", "text")
    os.makedirs(fbank)
    os.makedirs(text)
    for i in range(count):
        frames = int(rng.integers(200, 1201))
        np.save(os.path.join(fbank, f"{i:05d}.npy"), rng.normal(size=(80, frames)).astype(np.float32))
        np.save(os.path.join(text, f"{i:05d}.npy"), np.array(list(sentence(rng, frames // 40))))


def build_text(root, count, rng):
    directory = os.path.join(root, "lm")
    os.makedirs(directory)
    for i in range(count):
        np.save(os.path.join(directory, f"{i:06d}.npy"), np.array(list(sentence(rng, int(rng.integers(5, 30))))))


def speech_config(root):
    conf = {"time_mask_width_range": 40, "freq_mask_width_range": 27, "apply_freq_mask": True, "num_freq_mask": 2,
            "apply_time_mask": True, "num_time_mask": 2}  # fmt: skip
    return {"root": root, "num_feats": 80, "norm": "global_mvn", "specaug": True, "specaug_conf": conf}


def quietly(fn):
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        return fn()


def best_of(repeats, *fns):
    """Minimum time of each function, run interleaved so both see the same machine state."""
    best = [float("inf")] * len(fns)
    for _ in range(repeats):
        for k, fn in enumerate(fns):
            start = time.perf_counter()
            fn()
            best[k] = min(best[k], time.perf_counter() - start)
    return best


def load_all(paths):
    for p in paths:
        np.load(p)


def listing(directory):
    return [os.path.join(directory, n) for n in sorted(os.listdir(directory)) if n.endswith(".npy")]


def peak_rss():
    """This process's peak resident size in bytes (VmHWM starts afresh at exec, unlike ru_maxrss)."""
    with open("/proc/self/status") as f:
        for entry in f:
            if entry.startswith("VmHWM:"):
                return int(entry.split()[1]) * 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def memory_child(root):
    """Runs in a fresh process: peak RSS growth of one ASRDataset construction, over raw feature bytes."""
    tokenizer = BrixTokenizer()
    torch.zeros(1) + 1  # warm torch's allocator before the baseline reading
    before = peak_rss()
    ds = quietly(lambda: ASRDataset("train", speech_config(root), tokenizer, True))
    after = peak_rss()
    raw = sum(f.nbytes for f in ds.feats)
    print((after - before) / raw)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--utterances", type=int, default=3000)
    parser.add_argument("--texts", type=int, default=50000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--memory-child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        memory_child(args.memory_child)
        return

    rng = np.random.default_rng(0)
    tokenizer = BrixTokenizer()
    ratios = {}
    with tempfile.TemporaryDirectory() as root:
        print(f"building {args.utterances} utterances and {args.texts} texts in {root} ...")
        build_speech(root, args.utterances, rng)
        build_text(root, args.texts, rng)
        speech_files = listing(os.path.join(root, "train", "fbank")) + listing(os.path.join(root, "train", "text"))
        text_files = listing(os.path.join(root, "lm"))
        load_all(speech_files)  # page cache warm for both sides
        load_all(text_files)

        ours, floor = best_of(args.repeats, lambda: quietly(lambda: ASRDataset("train", speech_config(root), tokenizer, True)),
                              lambda: load_all(speech_files))  # fmt: skip
        ratios["ASRDataset(global_mvn) / np.load"] = (ours / floor, 1.5, f"{ours:.2f} s vs {floor:.2f} s")

        ours, floor = best_of(args.repeats, lambda: quietly(lambda: LMDataset("lm", {"root": root}, tokenizer)),
                              lambda: load_all(text_files))  # fmt: skip
        ratios["LMDataset / np.load"] = (ours / floor, 2.0, f"{ours:.2f} s vs {floor:.2f} s")

        ds = quietly(lambda: ASRDataset("train", speech_config(root), tokenizer, True))
        batches = [[ds[i] for i in range(b * 32, b * 32 + 32)] for b in range(min(8, len(ds) // 32))]
        pad = torch.nn.utils.rnn.pad_sequence

        def collate_all():
            for items in batches:
                ds.collate_fn(items)

        def pad_all():
            for items in batches:
                pad([x.T for x, _, _ in items], batch_first=True, padding_value=0.0)
                pad([s for _, s, _ in items], batch_first=True, padding_value=ds.pad_token)
                pad([g for _, _, g in items], batch_first=True, padding_value=ds.pad_token)

        ours, floor = best_of(max(5, args.repeats), collate_all, pad_all)
        per_batch = 1e3 / len(batches)
        ratios["collate_fn(SpecAugment) / pad_sequence"] = (
            ours / floor,
            2.0,
            f"{ours * per_batch:.2f} ms vs {floor * per_batch:.2f} ms per batch",
        )

        child = subprocess.run([sys.executable, __file__, "--memory-child", root], capture_output=True, text=True, check=True)
        ratios["peak RSS growth / raw feature bytes"] = (float(child.stdout.strip().splitlines()[-1]), 1.3, "fresh process")

    worst_name, worst = None, -float("inf")
    for name, (ratio, bar, detail) in ratios.items():
        print(f"{name:<42} {ratio:6.3f}x  (bar {bar}x; {detail})")
        if ratio / bar > worst:
            worst_name, worst = name, ratio / bar
    print(f"worst ratio relative to its bar: {worst:.3f} ({worst_name}; at most 1.0 meets every bar)")


if __name__ == "__main__":
    main()
