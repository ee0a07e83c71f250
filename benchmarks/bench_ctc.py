"""Recognition with the CTC branch: CTC best path, attention search and joint CTC/attention beam search
side by side (error rates and decoding time), and where the joint search spends its time.

    PYTHONPATH=src .venv/bin/python benchmarks/bench_ctc.py
    PYTHONPATH=src .venv/bin/python benchmarks/bench_ctc.py --config data/demo/configs/demo-asr.yaml \\
        --checkpoint expts/demo-asr/checkpoints/checkpoint-best-metric-model.pth

With --config and --checkpoint (a speech configuration as `velkor train` reads it, and a checkpoint of
that model) it decodes the configuration's test partition (its validation partition when the test
partition is the unlabelled "test-clean"; --partition chooses another). Without them it trains a small model here,
for --train-seconds, on synthetic speech (each character a few noisy frames of its own spectrum) and
says so: the error rates then show that the decoders work, not how good they are on real speech.

Bars: the joint search's CER at most the lower of the CTC and attention CERs (with a trained model),
and its time outside the model's scoring (CTC prefix scores and search bookkeeping) at most 25% of
its total. Each line of the time split is measured inside the same joint search.
"""

import argparse
import time

import torch
from torchmetrics.text import CharErrorRate, WordErrorRate

from velkor.data import BrixTokenizer
from velkor.decoding import CTCPrefixScorer, JointScorer, SequenceGenerator, best_path
from velkor.model import EncoderDecoderTransformer

WORDS = (
    "the a of and to in is was he for it with as his on be at by had are but from or have an they which one you were her all "
    "she there would their we him been has when who will more no if out so said what up its about into than them can only"
).split()


# ---------------------------------------------------------------------------------------------
# Data and model


def synthetic_batches(tokenizer, count, batch_size, num_feats, seed, device, noise=3.0):
    """(features, feature lengths, transcripts) batches: every character is 4 to 7 frames of its own
    random spectrum plus noise, so that a model can learn the task in a minute or two."""
    gen = torch.Generator().manual_seed(seed)
    spectra = torch.randn(tokenizer.num_classes, num_feats, generator=torch.Generator().manual_seed(1234)) * 2
    batches = []
    for start in range(0, count, batch_size):
        texts, feats = [], []
        for _ in range(min(batch_size, count - start)):
            n = int(torch.randint(3, 7, (1,), generator=gen))
            text = " ".join(WORDS[int(i)] for i in torch.randint(0, len(WORDS), (n,), generator=gen))
            ids = torch.tensor(tokenizer.encode(text))
            frames = torch.randint(4, 8, (len(ids),), generator=gen)
            f = spectra[ids.repeat_interleave(frames)]
            feats.append(f + noise * torch.randn(f.shape, generator=gen))
            texts.append(text)
        lengths = torch.tensor([len(f) for f in feats])
        padded = torch.nn.utils.rnn.pad_sequence(feats, batch_first=True)
        batches.append((padded.to(device), lengths.to(device), texts))
    return batches


def padded_targets(tokenizer, texts, device):
    golden = [tokenizer.encode(t) + [tokenizer.eos_id] for t in texts]
    shifted = [[tokenizer.sos_id] + g[:-1] for g in golden]
    pad = lambda rows: torch.nn.utils.rnn.pad_sequence([torch.tensor(r) for r in rows], True, tokenizer.pad_id)  # noqa: E731
    return pad(shifted).to(device), pad(golden).to(device), torch.tensor([len(g) for g in golden]).to(device)


def train_small_model(tokenizer, seconds, device):
    model = EncoderDecoderTransformer(
        input_dim=40,
        num_classes=tokenizer.num_classes,
        d_model=144,
        num_encoder_layers=4,
        num_decoder_layers=2,
        num_encoder_heads=4,
        num_decoder_heads=4,
        d_ff_encoder=576,
        d_ff_decoder=576,
        dropout=0.1,
        max_len=512,
        time_reduction=4,
        reduction_method="conv",
    ).to(device)
    optimizer = torch.optim.AdamW(model.parameters(), lr=2e-3)
    ce = torch.nn.CrossEntropyLoss(ignore_index=tokenizer.pad_id, label_smoothing=0.1)
    ctc = torch.nn.CTCLoss(blank=tokenizer.pad_id, zero_infinity=True)
    start, steps, seed = time.perf_counter(), 0, 0
    model.train()
    while time.perf_counter() - start < seconds:
        for feats, lengths, texts in synthetic_batches(tokenizer, 160, 16, 40, 1000 + seed, device):
            shifted, golden, target_lengths = padded_targets(tokenizer, texts, device)
            logits, _, ctc_inputs = model(feats, shifted, lengths, target_lengths)
            loss = ce(logits.reshape(-1, logits.size(-1)), golden.reshape(-1)) + 0.3 * ctc(
                ctc_inputs["log_probs"], golden, ctc_inputs["lengths"], target_lengths
            )
            optimizer.zero_grad()
            loss.backward()
            optimizer.step()
            steps += 1
            if time.perf_counter() - start >= seconds:
                break
        seed += 1
    print(f"model: no checkpoint given; trained here for {seconds:.0f} s ({steps} steps) on synthetic speech")
    return model.eval(), synthetic_batches(tokenizer, 96, 16, 40, 7, device)


def load_trained_model(config_path, checkpoint_path, partition, tokenizer_kwargs, device, limit):
    """A model trained by `velkor train` (or the demo): its configuration's tokenizer, model and data sections,
    the checkpoint's weights, the feature statistics the experiment kept (or those of the training partition)."""
    import os

    import yaml

    from velkor.data import ASRDataset

    with open(config_path) as f:
        config = yaml.safe_load(f)
    tok = config.get("tokenizer", {})
    tokenizer = BrixTokenizer.load(tok["file"]) if "file" in tok else BrixTokenizer(**tok, **tokenizer_kwargs)
    data = dict(config["data"])
    model = EncoderDecoderTransformer(input_dim=data["num_feats"], num_classes=tokenizer.num_classes, **config["model"]).to(device)
    state = torch.load(checkpoint_path, map_location=device, weights_only=False)
    model.load_state_dict(state["model_state_dict"] if "model_state_dict" in state else state)
    stats = None
    if data.get("norm", "global_mvn") == "global_mvn":
        kept = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(checkpoint_path))), "feature_stats.pt")
        if os.path.exists(kept):
            stats = tuple(torch.load(kept, weights_only=True))
        else:
            train = ASRDataset(data.get("train_partition", "train-clean-100"), data, tokenizer, True)
            stats = (train.global_mean, train.global_std)
    # "test-clean" carries no transcripts: measure on the validation partition then.
    if partition is None:
        partition = data.get("test_partition", "test-clean")
        if partition == "test-clean":
            partition = data.get("val_partition", "dev-clean")
    test = ASRDataset(partition, {**data, "norm": data.get("norm", "global_mvn")}, tokenizer, False, stats)
    batches = []
    loader = torch.utils.data.DataLoader(test, batch_size=16, collate_fn=test.collate_fn)
    for i, (feats, _, golden, lengths, _) in enumerate(loader):
        if limit and i >= limit:
            break
        texts = [tokenizer.decode([t for t in g.tolist() if t != tokenizer.pad_id], skip_special_tokens=True) for g in golden]
        batches.append((feats.to(device), lengths.to(device), texts))
    print(f"model: {checkpoint_path} ({config_path}), {sum(len(b[2]) for b in batches)} utterances of partition {partition}")
    return tokenizer, model.eval(), batches


# ---------------------------------------------------------------------------------------------
# Decoding


class Clock:
    def __init__(self, inner):
        self.inner, self.seconds = inner, 0.0

    def _timed(self, fn, arg):
        sync()
        start = time.perf_counter()
        out = fn(arg)
        sync()
        self.seconds += time.perf_counter() - start
        return out


class Timed(Clock):
    """A scorer that adds up the time spent in the scorer it wraps."""

    def __init__(self, inner):
        super().__init__(inner)
        self.log_probs = getattr(inner, "log_probs", False)
        self.max_len = getattr(inner, "max_len", None)

    def start(self, x):
        return self._timed(self.inner.start, x)

    def step(self, tokens):
        return self._timed(self.inner.step, tokens)

    def select(self, rows):
        return self._timed(self.inner.select, rows)


class TimedFunction(Clock):
    """The same for a plain score function (called on the whole prefix every step)."""

    def __call__(self, x):
        return self._timed(self.inner, x)


def sync():
    if torch.cuda.is_available():
        torch.cuda.synchronize()


def attention_scorer(model, enc, mask):
    if hasattr(model, "incremental_scorer"):
        return model.incremental_scorer(enc, mask)
    return lambda x: model.score(x, enc, mask)


def decode(model, tokenizer, batches, method, beam, weight, max_length, timers=None):
    """Returns (hypothesis texts, decoding seconds) of one method over all batches."""
    texts, seconds = [], 0.0
    with torch.inference_mode():
        for feats, lengths, _ in batches:
            sync()
            start = time.perf_counter()
            enc, mask, _, ctc = model.encode(feats, lengths)
            if timers is not None:
                sync()
                timers["encode"] += time.perf_counter() - start
            if method == "ctc":
                hyps, _ = best_path(ctc["log_probs"], ctc["lengths"], tokenizer.pad_id)
            else:
                scorer = attention_scorer(model, enc, mask)
                if method == "joint":
                    prefix = CTCPrefixScorer(ctc["log_probs"], ctc["lengths"], tokenizer)
                    if timers is not None:
                        scorer = Timed(scorer) if hasattr(scorer, "start") else TimedFunction(scorer)
                        prefix = Timed(prefix)
                        timers["scorers"].append((scorer, prefix))
                    scorer = JointScorer(scorer, prefix, weight)
                generator = SequenceGenerator(scorer, tokenizer, max_length, str(feats.device))
                prompts = torch.full((feats.size(0), 1), tokenizer.sos_id, device=feats.device)
                if beam > 1:
                    seqs = generator.generate_beam(prompts, beam)[0][:, 0]
                else:
                    seqs = generator.generate_greedy(prompts)[0]
                hyps = [s.tolist() for s in SequenceGenerator.post_process_sequence(seqs, tokenizer)]
            sync()
            seconds += time.perf_counter() - start
            texts += [tokenizer.decode(h, skip_special_tokens=True) for h in hyps]
    return texts, seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--config", help="speech configuration (YAML) of the trained model")
    parser.add_argument("--checkpoint", help="checkpoint of that model")
    parser.add_argument(
        "--partition",
        help="partition to decode (default: the test partition, or the validation one when "
        "the test partition is the unlabelled test-clean)",
    )
    parser.add_argument("--batches", type=int, default=0, help="decode only this many test batches (0: all)")
    parser.add_argument("--beam", type=int, default=10)
    parser.add_argument("--ctc-weights", default="0.3,0.5", help="comma-separated joint weights; the first is timed in detail")
    parser.add_argument("--train-seconds", type=float, default=90.0)
    parser.add_argument("--threads", type=int, default=1, help="torch CPU threads (1: steady timings on a shared machine)")
    parser.add_argument("--device", default="cuda" if torch.cuda.is_available() else "cpu")
    args = parser.parse_args()
    torch.set_num_threads(args.threads)
    torch.manual_seed(0)
    tokenizer = BrixTokenizer()
    if args.config and args.checkpoint:
        tokenizer, model, batches = load_trained_model(args.config, args.checkpoint, args.partition, {}, args.device, args.batches)
    else:
        model, batches = train_small_model(tokenizer, args.train_seconds, args.device)
        if args.batches:
            batches = batches[: args.batches]
    references = [t for b in batches for t in b[2]]
    max_length = max(len(tokenizer.encode(t)) for t in references) + 10
    print(f"device: {args.device}, torch threads: {torch.get_num_threads()}, {len(references)} utterances, max_length {max_length}")

    cer, wer = CharErrorRate(), WordErrorRate()
    weights = [float(w) for w in args.ctc_weights.split(",")]
    runs = [
        ("ctc best path", "ctc", 1, 0.0),
        ("attention greedy", "attention", 1, 0.0),
        (f"attention beam {args.beam}", "attention", args.beam, 0.0),
    ]
    for w in weights:
        runs += [(f"joint greedy (ctc_weight {w})", "joint", 1, w), (f"joint beam {args.beam} (ctc_weight {w})", "joint", args.beam, w)]
    decode(model, tokenizer, batches[:1], "joint", 2, weights[0], max_length)  # warm-up
    print(f"{'decoder':<36}{'CER %':>8}{'WER %':>8}{'time s':>9}")
    results = {}
    for name, method, beam, weight in runs:
        hyps, seconds = decode(model, tokenizer, batches, method, beam, weight, max_length)
        results[name] = float(cer(hyps, references)) * 100
        print(f"{name:<36}{results[name]:8.2f}{float(wer(hyps, references)) * 100:8.2f}{seconds:9.2f}")

    timers = {"encode": 0.0, "scorers": []}
    _, total = decode(model, tokenizer, batches, "joint", args.beam, weights[0], max_length, timers)
    encoder = timers["encode"]
    attention = sum(a.seconds for a, _ in timers["scorers"])
    prefix = sum(c.seconds for _, c in timers["scorers"])
    rest = total - encoder - attention - prefix
    print(f"\njoint beam {args.beam} (ctc_weight {weights[0]}): {total:.2f} s in all")
    print(f"  encoder and CTC head (once per batch)   {encoder:7.2f} s  {100 * encoder / total:5.1f}%")
    print(f"  attention decoder scoring                {attention:7.2f} s  {100 * attention / total:5.1f}%")
    print(f"  CTC prefix scoring                       {prefix:7.2f} s  {100 * prefix / total:5.1f}%")
    print(f"  search (beam bookkeeping, joint sums)    {rest:7.2f} s  {100 * rest / total:5.1f}%")
    outside = (prefix + rest) / total
    print(
        f"time outside the model's scoring (CTC prefix scores + search): {100 * outside:.1f}% of the total (bar 25%): "
        f"{'met' if outside <= 0.25 else 'NOT met'}"
    )
    lower = min(results[runs[0][0]], results[runs[2][0]])
    for w in weights:
        joint = results[f"joint beam {args.beam} (ctc_weight {w})"]
        print(
            f"joint beam CER with ctc_weight {w}: {joint:.2f}% against the lower of CTC and attention beam, {lower:.2f}%: "
            f"{'met' if joint <= lower else 'NOT met'}"
        )


if __name__ == "__main__":
    main()
