"""Transcription speed: real-time factor (seconds of work per second of audio) of Recognizer.transcribe
on the demo-size speech model (d_model 96, 4 encoder + 2 decoder layers, LSTM time reduction) with
random weights, on one CPU thread, over 20 noisy recordings of 2-8 s read from wav files: greedy
search, and joint CTC/attention beam search of width 4; and the share of the greedy run spent
reading the files and computing filter banks (the same code, timed alone).

An untrained model rarely ends a hypothesis early, so every search runs to its length limit: pass
--max-length to bound hypotheses as a trained model's transcripts would be (default: 15 tokens per
second of audio, about the character rate of read speech). Goals: greedy RTF <= 0.05, joint beam 4
RTF <= 0.2, reading + features <= 10% of the greedy run.

    PYTHONPATH=src .venv/bin/python benchmarks/bench_transcribe.py [--max-length N | --no-limit]
"""

import argparse
import pathlib
import tempfile
import time

import numpy as np
import soundfile
import torch
import yaml

from velkor import Recognizer, cli
from velkor.data import BrixTokenizer
from velkor.data.prepare import compute_fbank
from velkor.model import EncoderDecoderTransformer

CONFIG = {
    "name": "bench-asr",
    "task": "asr",
    "data": {"root": "data", "batch_size": 8, "num_feats": 80, "norm": "global_mvn"},
    "model": {
        "d_model": 96,
        "num_encoder_layers": 4,
        "num_decoder_layers": 2,
        "num_encoder_heads": 4,
        "num_decoder_heads": 4,
        "d_ff_encoder": 384,
        "d_ff_decoder": 384,
        "dropout": 0.0,
        "max_len": 512,
        "time_reduction": 4,
        "reduction_method": "lstm",
    },
    "optimizer": {"name": "adamw", "lr": 0.002},
    "scheduler": {"name": "cosine"},
    "training": {"epochs": 1},
    "loss": {"ctc_weight": 0.5},
    "recognition": {"beam_width": 4, "ctc_weight": 0.3},
}


def recordings(folder, count=20, seed=0):
    rng = np.random.default_rng(seed)
    paths, seconds = [], 0.0
    for i in range(count):
        n = int(16000 * rng.uniform(2.0, 8.0))
        t = np.arange(n) / 16000
        x = 0.2 * np.sin(2 * np.pi * rng.uniform(100, 400) * t) * (1 + np.sin(2 * np.pi * 3 * t)) + 0.05 * rng.standard_normal(n)
        path = folder / f"rec{i:02d}.wav"
        soundfile.write(path, x.astype(np.float32), 16000)
        paths.append(path)
        seconds += n / 16000
    return paths, seconds


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--max-length", type=int, default=None, help="longest hypothesis in tokens (default: 15 per second)")
    parser.add_argument("--no-limit", action="store_true", help="the Recognizer's own limit (encoder frames + 10)")
    args = parser.parse_args()
    torch.set_num_threads(1)
    torch.manual_seed(0)
    with tempfile.TemporaryDirectory() as tmp:
        folder = pathlib.Path(tmp)
        (folder / "bench.yaml").write_text(yaml.safe_dump(CONFIG))
        config = cli.load_config(folder / "bench.yaml")
        tokenizer = BrixTokenizer()
        model = EncoderDecoderTransformer(**CONFIG["model"], input_dim=80, num_classes=tokenizer.num_classes)
        paths, audio_seconds = recordings(folder)
        longest = max(soundfile.info(p).duration for p in paths)
        max_length = None if args.no_limit else args.max_length or int(15 * longest) + 2
        stats = (torch.full((80,), 10.0), torch.full((80,), 3.0))
        rec = Recognizer(model, tokenizer, config, stats=stats, device="cpu")
        rec.transcribe(paths[:2], max_length=max_length)  # warm-up

        def features():
            for p in paths:
                x, rate = soundfile.read(p, dtype="float32")
                compute_fbank(x, rate, 80)

        feature_time, _ = timed(features)
        greedy_time, greedy = timed(lambda: rec.transcribe(paths, max_length=max_length))
        joint_time, joint = timed(lambda: rec.transcribe(paths, beam_width=4, ctc_weight=0.3, max_length=max_length))
        assert all(r["error"] is None for r in greedy + joint)
        limit = "encoder frames + 10" if max_length is None else f"{max_length} tokens"
        print(f"{len(paths)} recordings, {audio_seconds:.1f} s of audio, one thread, hypotheses up to {limit}")
        for name, records in (("greedy", greedy), ("joint", joint)):
            print(f"{name}: {np.mean([len(r['tokens']) for r in records]):.0f} tokens per hypothesis on average")
        print(f"greedy:                 RTF {greedy_time / audio_seconds:.4f}  (goal <= 0.05)")
        print(f"joint CTC/attention b4: RTF {joint_time / audio_seconds:.4f}  (goal <= 0.2)")
        print(f"reading + features:     {100 * feature_time / greedy_time:.1f}% of the greedy run  (goal <= 10%)")


if __name__ == "__main__":
    main()
