"""Data-parallel training: ASR training throughput of 2 CPU processes x 1 thread (torchrun, gloo) against
1 process x 1 thread, same model, same data, same batch per process (bar: >= 1.7x on a 2-core machine
that is otherwise idle).

    PYTHONPATH=src .venv/bin/python benchmarks/bench_distributed.py [--utterances N] [--batch B] [--steps G]

Each side runs ASRTrainer._train_epoch twice over the same synthetic speech (the first pass warms up);
the second pass is timed from a barrier to a barrier, so process start-up and rendezvous are not
counted. Throughput = utterances / seconds. The load average before and after is printed: on a shared
machine, other work takes the second core and the ratio falls towards 1.

With --device cuda (a GPU at hand), the worker instead runs on one process with the NCCL group and on
CUDA with float16 autocast and the gradient scaler, then recognizes a few utterances, and prints both.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np
import torch

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
WORDS = ["ab", "ba", "cab", "abc", "c"]


def write_speech(root, count, frames, num_feats=40, seed=0):
    rng = np.random.default_rng(seed)
    os.makedirs(os.path.join(root, "train", "fbank"))
    os.makedirs(os.path.join(root, "train", "text"))
    for i in range(count):
        feats = rng.normal(size=(num_feats, int(rng.integers(frames // 2, frames)))).astype(np.float32)
        np.save(os.path.join(root, "train", "fbank", f"u{i:04d}.npy"), feats)
        text = " ".join(rng.choice(WORDS, size=6))
        np.save(os.path.join(root, "train", "text", f"u{i:04d}.npy"), np.array(list(text)))


def worker(args):
    torch.set_num_threads(1)
    group = "WORLD_SIZE" in os.environ
    cuda = args.device == "cuda"
    if group:
        if cuda:
            torch.cuda.set_device(int(os.environ.get("LOCAL_RANK", 0)))
        torch.distributed.init_process_group("nccl" if cuda else "gloo")
    from velkor.data import ASRDataset, BrixTokenizer
    from velkor.data.sampler import LengthBucketSampler
    from velkor.model import EncoderDecoderTransformer
    from velkor.trainers.ombrel import ASRTrainer

    tokenizer = BrixTokenizer()
    speech = {"root": args.data, "num_feats": 40, "norm": "none", "specaug": False,
              "specaug_conf": {"time_mask_width_range": 2, "freq_mask_width_range": 2}}  # fmt: skip
    dataset = ASRDataset("train", speech, tokenizer, True)
    torch.manual_seed(0)
    model = EncoderDecoderTransformer(
        40, tokenizer.num_classes, d_model=128, num_encoder_layers=2, num_decoder_layers=2, num_encoder_heads=4,
        num_decoder_heads=4, d_ff_encoder=256, d_ff_decoder=256, dropout=0.0, max_len=512, time_reduction=2,
        reduction_method="conv",
    )  # fmt: skip
    os.chdir(args.work)
    training = {"gradient_accumulation_steps": args.steps} if cuda else {"gradient_accumulation_steps": args.steps, "amp_dtype": "float32"}
    config = {"data": {"batch_size": args.batch, "num_feats": 40, "NUM_WORKERS": 0}, "training": training,
              "loss": {"label_smoothing": 0.1, "ctc_weight": 0.3}}  # fmt: skip
    trainer = ASRTrainer(model, tokenizer, config, "bench", os.path.join(args.work, "bench.yaml"), device=args.device)
    trainer.optimizer = torch.optim.AdamW(trainer.model.parameters(), lr=1e-3)
    trainer.scheduler = torch.optim.lr_scheduler.LambdaLR(trainer.optimizer, lambda _: 1.0)
    loader = torch.utils.data.DataLoader(
        dataset, batch_sampler=LengthBucketSampler(dataset, args.batch, seed=1), collate_fn=dataset.collate_fn
    )
    trainer._train_epoch(loader)  # warm-up
    if group:
        torch.distributed.barrier()
    start = time.perf_counter()
    metrics, _ = trainer._train_epoch(loader)
    if group:
        torch.distributed.barrier()
    seconds = time.perf_counter() - start
    result = {"seconds": seconds, "utterances": len(dataset), "joint_loss": metrics["joint_loss"]}
    if cuda:
        trainer.text_max_len = dataset.text_max_len
        records = trainer.recognize(loader, {"num_batches": 1, "beam_width": 1, "temperature": 1.0, "repeat_penalty": 1.0,
                                             "lm_weight": 0.0, "lm_model": None})  # fmt: skip
        result["recognized"] = len(records)
        result["scaler_scale"] = float(trainer.scaler.get_scale())
    if not group or torch.distributed.get_rank() == 0:
        with open(os.path.join(args.work, "result.json"), "w") as f:
            json.dump(result, f)
    if group:
        torch.distributed.destroy_process_group()


def run(nproc, args, data, work):
    env = dict(os.environ, OMP_NUM_THREADS="1", PYTHONPATH=os.path.join(ROOT, "src"))
    with open(os.path.join(work, "bench.yaml"), "w") as f:
        f.write("training:\n  gradient_accumulation_steps: 1\n")
    command = [__file__, "--worker", "--data", data, "--work", work, "--batch", str(args.batch), "--steps", str(args.steps),
               "--device", args.device]  # fmt: skip
    if nproc == 0:
        argv = [sys.executable, *command]
    else:
        argv = [sys.executable, "-m", "torch.distributed.run", "--standalone", f"--nproc-per-node={nproc}", *command]
    done = subprocess.run(argv, env=env, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(done.stderr[-4000:])
    with open(os.path.join(work, "result.json")) as f:
        return json.load(f)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--worker", action="store_true")
    parser.add_argument("--data")
    parser.add_argument("--work")
    parser.add_argument("--utterances", type=int, default=128)
    parser.add_argument("--frames", type=int, default=300)
    parser.add_argument("--batch", type=int, default=8)
    parser.add_argument("--steps", type=int, default=1)
    parser.add_argument("--device", default="cpu")
    args = parser.parse_args()
    if args.worker:
        return worker(args)
    with tempfile.TemporaryDirectory() as tmp:
        data = os.path.join(tmp, "speech")
        write_speech(data, args.utterances, args.frames)
        print(f"load average before: {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores")
        if args.device == "cuda":
            for name, nproc in (("CUDA, one process, float16 autocast + GradScaler", 0), ("CUDA, DDP on NCCL, one process", 1)):
                work = tempfile.mkdtemp(dir=tmp)
                r = run(nproc, args, data, work)
                print(f"{name}: {r['utterances'] / r['seconds']:.1f} utterances/s, joint loss {r['joint_loss']:.4f}, "
                      f"recognized {r['recognized']}, scaler scale {r['scaler_scale']}")  # fmt: skip
            return
        one = run(0, args, data, tempfile.mkdtemp(dir=tmp))
        two = run(2, args, data, tempfile.mkdtemp(dir=tmp))
        single, double = one["utterances"] / one["seconds"], two["utterances"] / two["seconds"]
        print(f"1 process x 1 thread:   {single:8.1f} utterances/s")
        print(f"2 processes x 1 thread: {double:8.1f} utterances/s")
        print(f"load average after: {os.getloadavg()[0]:.2f}")
        print(f"ratio (2 / 1): {double / single:.2f}x (bar: >= 1.7 on an otherwise idle 2-core machine)")


if __name__ == "__main__":
    main()
