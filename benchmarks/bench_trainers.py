"""Trainers: crash safety of checkpoint saving, and the cost of the LM training pass, in one run.

    PYTHONPATH=src .venv/bin/python benchmarks/bench_trainers.py [--suite crash|overhead|recognition|all]
                                                               [--quick] [--device cuda] [--threads N]

crash: a forked process saves the last-epoch checkpoint in a loop (BaseTrainer.save_checkpoint) and
is killed with SIGKILL at a random moment, 20 times; after each kill the checkpoint must load with
the restricted loader. Prints corrupt=N/20 (must be 0) and the temporary files of killed saves
still there after the next save (must be 0).
The same is done with torch.save straight onto the file, to show that the test does catch
corruption.

overhead: LMTrainer._train_epoch against a bare PyTorch loop doing the same forward, loss, scaled
backward, accumulation, optimizer/scheduler steps, loss bookkeeping and cache release on the same
batches, with "amp_dtype" "float32" (no autocast) and with the device's default (bfloat16 autocast
on the CPU, float16 on CUDA). Ratio = bare time / our time, i.e. our throughput relative to the
bare loop's (bar: >= 0.97). Passes run in pairs, one of each side back to back (in alternating
order); the ratio is the median over the pairs. Both sides empty the CUDA allocator cache after
every batch, as the trainer does, which makes single passes on a GPU vary by several percent.

recognition: ASRTrainer.recognize (greedy and beam 10, incremental and full-prefix) against a bare
loop that encodes once per batch and drives the same generator; run by bench_recognition.py, whose
ratios it prints (bar: >= 0.97).

The decisive (worst) margin against its bar comes last.
"""

import argparse
import copy
import os
import random
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import warnings

import torch

from velkor.model import DecoderOnlyTransformer
from velkor.trainers import BaseTrainer, LMTrainer


class Tokenizer:
    pad_id, sos_id, eos_id, num_classes = 0, 1, 2, 64


class Saver(BaseTrainer):
    def _train_epoch(self, dataloader):
        pass

    def _validate_epoch(self, dataloader):
        pass

    def train(self, train_dataloader, val_dataloader):
        pass

    def evaluate(self, dataloader):
        pass


def config(**training):
    return {"data": {"batch_size": 2}, "training": {"gradient_accumulation_steps": 2, **training}}


def config_file(directory):
    path = os.path.join(directory, "config.yaml")
    with open(path, "w") as f:
        f.write("training: {}\n")
    return path


# ---------------------------------------------------------------------------------------------
# Crash safety


def loads(path):
    try:
        state = torch.load(path, weights_only=True)
        return isinstance(state, dict) and "model_state_dict" in state
    except Exception:
        return False


def crash_run(trainer, atomic, kills, seed):
    """Kills a saving child `kills` times; returns (corrupt count, stray temporary files)."""
    path = trainer.last_model_path
    state = {"epoch": 0, "model_state_dict": trainer.model.state_dict()}
    trainer.save_checkpoint(path.name)  # a good checkpoint to start from
    start = time.perf_counter()
    trainer.save_checkpoint(path.name)
    save_time = time.perf_counter() - start
    rng = random.Random(seed)
    corrupt = 0
    for _ in range(kills):
        read_end, write_end = os.pipe()
        with warnings.catch_warnings():  # the child only writes files and is killed
            warnings.simplefilter("ignore", DeprecationWarning)
            pid = os.fork()
        if pid == 0:  # child: save until killed
            try:
                os.close(read_end)
                os.write(write_end, b"r")
                while True:
                    trainer.current_epoch += 1
                    if atomic:
                        trainer.save_checkpoint(path.name)
                    else:
                        state["epoch"] = trainer.current_epoch
                        torch.save(state, path)
            finally:
                os._exit(1)
        os.close(write_end)
        os.read(read_end, 1)
        os.close(read_end)
        time.sleep(rng.uniform(0.0, 3.0 * save_time))
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        if not loads(path):
            corrupt += 1
            trainer.save_checkpoint(path.name)  # start the next round from a good file
    trainer.save_checkpoint(path.name)  # removes what killed saves left behind
    strays = [name for name in os.listdir(trainer.checkpoint_dir) if name.endswith(".tmp")]
    return corrupt, len(strays), save_time


def crash_suite(args, directory):
    kills = 5 if args.quick else 20
    torch.manual_seed(0)
    model = DecoderOnlyTransformer(num_classes=64, d_model=256, num_layers=4, num_heads=4, d_ff=1024, max_len=64)
    with contextlib_quiet():
        trainer = Saver(model, Tokenizer(), config(), "crash", config_file(directory), device="cpu")
    trainer.optimizer = torch.optim.AdamW(trainer.model.parameters())
    results = {}
    for name, atomic in [("save_checkpoint", True), ("torch.save onto the file", False)]:
        corrupt, strays, save_time = crash_run(trainer, atomic, kills, seed=1)
        for stale in os.listdir(trainer.checkpoint_dir):
            if stale.endswith(".tmp"):
                os.unlink(trainer.checkpoint_dir / stale)
        results[name] = corrupt
        print(
            f"crash  {name:26s} corrupt={corrupt}/{kills}  temporary files left after the next save={strays}  "
            f"(one save {save_time * 1e3:.0f} ms)"
        )
    return results["save_checkpoint"], kills


# ---------------------------------------------------------------------------------------------
# Training-pass overhead


class Dataset:
    def get_avg_chars_per_token(self):
        return 1.0


class Loader:
    def __init__(self, batches):
        self.batches, self.dataset = batches, Dataset()

    def __len__(self):
        return len(self.batches)

    def __iter__(self):
        return iter(self.batches)


def bare_pass(model, criterion, optimizer, scheduler, scaler, batches, accumulation, device, dtype):
    """The training pass written out in plain PyTorch."""
    model.train()
    optimizer.zero_grad()
    loss_sum, tokens = 0.0, 0
    autocast = dtype != torch.float32
    for i, batch in enumerate(batches):
        x, y, lengths = (t.to(device) for t in batch)
        with torch.autocast(device_type=device, dtype=dtype, enabled=autocast):
            logits, attention = model(x, target_lengths=lengths)
            loss = criterion(logits.reshape(-1, logits.size(-1)), y.reshape(-1))
        n = lengths.sum().item()
        tokens += n
        loss_sum += loss.item() * n
        scaler.scale(loss / accumulation).backward()
        if (i + 1) % accumulation == 0:
            scaler.step(optimizer)
            scheduler.step()
            scaler.update()
            optimizer.zero_grad()
        del x, y, lengths, logits, loss
        torch.cuda.empty_cache()
    if len(batches) % accumulation:
        scaler.step(optimizer)
        scheduler.step()
        scaler.update()
        optimizer.zero_grad()
    return loss_sum / tokens, attention


def make_batches(count, batch, length, vocab, device):
    g = torch.Generator().manual_seed(0)
    batches = []
    for _ in range(count):
        lengths = torch.randint(length // 2, length + 1, (batch,), generator=g)
        x = torch.randint(3, vocab, (batch, length), generator=g)
        y = torch.randint(3, vocab, (batch, length), generator=g)
        mask = torch.arange(length)[None, :] >= lengths[:, None]
        x[mask], y[mask] = 0, 0
        batches.append((x, y, lengths))
    return batches


def synchronize(device):
    if device == "cuda":
        torch.cuda.synchronize()


def overhead_case(args, directory, amp_dtype):
    device = args.device
    if device == "cuda":
        model_args = dict(d_model=512, num_layers=6, num_heads=8, d_ff=2048)
        shape = (32, 256)
    else:
        model_args = dict(d_model=128, num_layers=2, num_heads=4, d_ff=512)
        shape = (16, 64)
    count = 6 if args.quick else 20
    repeats = 2 if args.quick else 11
    torch.manual_seed(0)
    base = DecoderOnlyTransformer(num_classes=64, max_len=shape[1], dropout=0.0, **model_args)
    batches = make_batches(count, *shape, 64, device)
    training = {} if amp_dtype is None else {"amp_dtype": amp_dtype}
    with contextlib_quiet():
        trainer = LMTrainer(copy.deepcopy(base), Tokenizer(), config(**training), "overhead", config_file(directory), device=device)
    trainer.optimizer = torch.optim.AdamW(trainer.model.parameters(), lr=1e-4)
    trainer.scheduler = torch.optim.lr_scheduler.StepLR(trainer.optimizer, 10**6)
    dtype = trainer.amp_dtype

    model = copy.deepcopy(base).to(device)
    criterion = torch.nn.CrossEntropyLoss(ignore_index=0)
    optimizer = torch.optim.AdamW(model.parameters(), lr=1e-4)
    scheduler = torch.optim.lr_scheduler.StepLR(optimizer, 10**6)
    scaler = torch.amp.GradScaler(device)

    def ours():
        with contextlib_quiet():
            trainer._train_epoch(Loader(batches))

    def bare():
        bare_pass(model, criterion, optimizer, scheduler, scaler, batches, 2, device, dtype)

    ours(), bare()  # warm-up
    times = {"ours": [], "bare": []}
    for repeat in range(repeats):
        sides = [("ours", ours), ("bare", bare)]
        for name, run in sides if repeat % 2 == 0 else sides[::-1]:
            synchronize(device)
            start = time.perf_counter()
            run()
            synchronize(device)
            times[name].append(time.perf_counter() - start)
    # Each pair ran back to back, so its ratio is measured under the same conditions; the median
    # pair is robust to the other work of a shared machine.
    ratio = statistics.median(b / o for o, b in zip(times["ours"], times["bare"]))
    ours_t, bare_t = statistics.median(times["ours"]), statistics.median(times["bare"])
    label = amp_dtype or f"default ({str(dtype).removeprefix('torch.')})"
    print(
        f"overhead  amp_dtype={label:22s} {count} batches {shape[0]}x{shape[1]}: ours {ours_t * 1e3:8.1f} ms  "
        f"bare {bare_t * 1e3:8.1f} ms (medians)  throughput ratio {ratio:.3f} (median of {repeats} pairs; bar >= 0.97)"
    )
    return ratio


class contextlib_quiet:
    """Silences the trainer's printed lines and progress bars (both go to the standard streams)."""

    def __enter__(self):
        self.saved = os.dup(1), os.dup(2)
        sys.stdout.flush(), sys.stderr.flush()
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 1), os.dup2(null, 2)
        os.close(null)

    def __exit__(self, *exc):
        sys.stdout.flush(), sys.stderr.flush()
        os.dup2(self.saved[0], 1), os.dup2(self.saved[1], 2)
        os.close(self.saved[0]), os.close(self.saved[1])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--suite", choices=["crash", "overhead", "recognition", "all"], default="all")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--device", default="cuda" if torch.cuda.is_available() else "cpu")
    parser.add_argument("--threads", type=int, default=1)
    args = parser.parse_args()
    torch.set_num_threads(args.threads)
    lines = []
    with tempfile.TemporaryDirectory() as directory:
        cwd = os.getcwd()
        os.chdir(directory)  # the trainers write expts/ here
        try:
            if args.suite in ("crash", "all"):
                corrupt, kills = crash_suite(args, directory)
                lines.append(f"corrupt={corrupt}/{kills}")
            if args.suite in ("overhead", "all"):
                ratios = [(overhead_case(args, directory, amp_dtype), amp_dtype or "default") for amp_dtype in ["float32", None]]
                ratio, name = min(ratios)
                lines.append(f"training pass throughput ratio {ratio:.3f} (amp_dtype={name})")
        finally:
            os.chdir(cwd)
    if args.suite in ("recognition", "all"):
        recognition = [sys.executable, os.path.join(os.path.dirname(os.path.abspath(__file__)), "bench_recognition.py")]
        recognition += ["--device", args.device, "--threads", str(args.threads)] + (["--quick"] if args.quick else [])
        subprocess.run(recognition, check=True)
    print("worst: " + "; ".join(lines))


if __name__ == "__main__":
    main()
