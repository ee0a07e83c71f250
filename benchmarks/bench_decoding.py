"""Decoding speed, timed side by side in one run.

    PYTHONPATH=src .venv/bin/python benchmarks/bench_decoding.py [--suite generator|incremental|all]
                                                               [--quick] [--device cuda] [--threads N]

generator: velkor.decoding.SequenceGenerator against a plain-Python transliteration of the same
algorithms (loops where the algorithm loops); one ratio per case (plain time / ours) and, for a
small real Transformer as the score function, the share of beam-search time spent outside it.

incremental: recognition with cached keys and values (the models' incremental scorers) against
full-prefix decoding (model.score on the whole prefix every step) on the same model and inputs:
a batch of 16 utterances decoded to 150 tokens by a 4+4-layer d_model 256 speech model (beam 10,
greedy) and 200 tokens sampled from a 4-layer d_model 256 language model; ratios (full / incremental)
and each side's share of time spent outside the model. Both sides must give the same tokens
(scores within 1e-4), which the script checks. --quick shortens the outputs for a smoke run.

The decisive (worst) margin against its bar comes last. The plain-Python generator is the tests'
independent oracle (tests/reference_decoding.py), shared rather than copied.
"""

import argparse
import statistics
import sys
import time
from pathlib import Path

import torch

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from reference_decoding import ReferenceGenerator  # noqa: E402


class Tokenizer:
    def __init__(self, num_classes, eos_id, pad_id=0):
        self.num_classes = num_classes
        self.eos_id = eos_id
        self.pad_id = pad_id


def precomputed_score_fn(steps, rows, vocab, seed):
    """Logits drawn once, returned by sequence length: the score function costs almost nothing."""
    generator = torch.Generator().manual_seed(seed)
    table = torch.randn(steps + 2, rows, vocab, generator=generator) * 3.0
    return lambda x: table[x.size(1)]


def best_of(fn, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def small_transformer(vocab, d_model=128, layers=2, heads=4, max_len=128):
    try:
        from velkor.model import DecoderOnlyTransformer  # noqa: F401  (when the assembled model is built)

        model = DecoderOnlyTransformer(
            num_layers=layers,
            d_model=d_model,
            num_heads=heads,
            d_ff=4 * d_model,
            dropout=0.0,
            max_len=max_len,
            num_classes=vocab,
        )
        return model.eval(), "velkor.model.DecoderOnlyTransformer"
    except Exception:
        pass

    class TinyDecoder(torch.nn.Module):
        def __init__(self):
            super().__init__()
            self.embed = torch.nn.Embedding(vocab, d_model)
            self.pos = torch.nn.Embedding(max_len, d_model)
            layer = torch.nn.TransformerEncoderLayer(d_model, heads, 4 * d_model, dropout=0.0, batch_first=True, norm_first=True)
            self.layers = torch.nn.TransformerEncoder(layer, layers, enable_nested_tensor=False)
            self.head = torch.nn.Linear(d_model, vocab)

        def score(self, x):
            t = x.size(1)
            h = self.embed(x) + self.pos(torch.arange(t))
            mask = torch.triu(torch.ones(t, t, dtype=torch.bool), diagonal=1)
            return self.head(self.layers(h, mask=mask)[:, -1])

    return TinyDecoder().eval(), "torch.nn Transformer decoder (the assembled model is not importable)"


def generator_cases(results):
    from velkor.decoding import SequenceGenerator

    # Beam search: B = 16, K = 10, V = 1000, 60 steps; eos rare enough that the beams run the distance.
    batch, beam, vocab, steps = 16, 10, 1000, 60
    tok = Tokenizer(vocab, eos_id=1)
    score_fn = precomputed_score_fn(steps, batch * beam, vocab, seed=1)
    x = torch.zeros(batch, 1, dtype=torch.long)
    ours = SequenceGenerator(score_fn, tok, steps + 1)
    plain = ReferenceGenerator(score_fn, tok, steps + 1)
    a, b = ours.generate_beam(x, beam), plain.generate_beam(x, beam)
    assert torch.equal(a[0], b[0]) and torch.equal(a[1], b[1]), "beam results differ"
    t_plain = best_of(lambda: plain.generate_beam(x, beam), 3)
    t_ours = best_of(lambda: ours.generate_beam(x, beam), 5)
    results.append(
        (
            f"beam B={batch} K={beam} V={vocab} {steps} steps: plain {t_plain * 1e3:.1f} ms / ours {t_ours * 1e3:.1f} ms",
            t_plain / t_ours,
            5.0,
            True,
        )
    )

    # The tensor work both sides must do per step (score, log-softmax, add, top-k over K*V):
    # how close ours comes to it bounds what any implementation of the algorithm could gain.
    live = torch.zeros(batch, beam, 1)

    def floor():
        for t in range(1, steps + 1):
            logits = score_fn(torch.empty(batch * beam, t)).view(batch, beam, vocab)
            torch.topk((torch.log_softmax(logits, dim=-1) + live).view(batch, -1), beam, dim=1)

    t_floor = best_of(floor, 5)
    results.append((f"beam tensor work alone {t_floor * 1e3:.1f} ms: ours / tensor work", t_ours / t_floor, None, True))

    # Beam search with a repetition penalty (the penalty's own loops are the plain cost here).
    # The penalty writes into the logits it is given, so this score function hands out copies.
    ours.score_fn = plain.score_fn = lambda seq, table_fn=score_fn: table_fn(seq).clone()
    a, b = ours.generate_beam(x, beam, repeat_penalty=1.3), plain.generate_beam(x, beam, repeat_penalty=1.3)
    assert torch.equal(a[0], b[0]) and torch.equal(a[1], b[1]), "beam results with a penalty differ"
    t_plain = best_of(lambda: plain.generate_beam(x, beam, repeat_penalty=1.3), 1)
    t_ours = best_of(lambda: ours.generate_beam(x, beam, repeat_penalty=1.3), 3)
    results.append((f"beam with repeat_penalty: plain {t_plain * 1e3:.1f} ms / ours {t_ours * 1e3:.1f} ms", t_plain / t_ours, None, True))

    # Greedy search: B = 32, V = 1000, 100 steps.
    batch, steps = 32, 100
    tok = Tokenizer(vocab, eos_id=1)
    score_fn = precomputed_score_fn(steps, batch, vocab, seed=2)
    x = torch.zeros(batch, 1, dtype=torch.long)
    ours = SequenceGenerator(score_fn, tok, steps + 1)
    plain = ReferenceGenerator(score_fn, tok, steps + 1)
    a, b = ours.generate_greedy(x), plain.generate_greedy(x)
    assert torch.equal(a[0], b[0]) and torch.equal(a[1], b[1]), "greedy results differ"
    t_plain = best_of(lambda: plain.generate_greedy(x), 5)
    t_ours = best_of(lambda: ours.generate_greedy(x), 5)
    results.append(
        (
            f"greedy B={batch} V={vocab} {steps} steps: plain {t_plain * 1e3:.1f} ms / ours {t_ours * 1e3:.1f} ms",
            t_plain / t_ours,
            1.5,
            True,
        )
    )

    # A small real Transformer as the score function: share of beam time spent outside it.
    vocab, batch, beam, steps = 1000, 4, 5, 40
    model, label = small_transformer(vocab)
    inside = [0.0]

    def timed_score(seq):
        start = time.perf_counter()
        out = model.score(seq)
        inside[0] += time.perf_counter() - start
        return out

    tok = Tokenizer(vocab, eos_id=1)
    ours = SequenceGenerator(timed_score, tok, steps + 1)
    x = torch.zeros(batch, 1, dtype=torch.long)
    shares = []
    with torch.no_grad():
        ours.generate_beam(x, beam)
        for _ in range(3):
            inside[0] = 0.0
            start = time.perf_counter()
            ours.generate_beam(x, beam)
            total = time.perf_counter() - start
            shares.append((total - inside[0]) / total)
    share = statistics.median(shares)
    results.append((f"beam over {label}, B={batch} K={beam} V={vocab} {steps} steps: time outside the score function", share, 0.10, False))


# ---------------------------------------------------------------------------------------------
# Incremental decoding against full-prefix decoding


class TimedScorer:
    """An incremental scorer that adds the time spent in it to `inside[0]`."""

    def __init__(self, scorer, inside, sync):
        self.scorer, self.inside, self.sync = scorer, inside, sync
        self.max_len, self.log_probs = scorer.max_len, scorer.log_probs

    def _timed(self, fn, *args):
        start = time.perf_counter()
        out = fn(*args)
        self.sync()
        self.inside[0] += time.perf_counter() - start
        return out

    def start(self, x):
        return self._timed(self.scorer.start, x)

    def step(self, tokens):
        return self._timed(self.scorer.step, tokens)

    def select(self, rows):
        return self._timed(self.scorer.select, rows)


def timed_function(fn, inside, sync):
    def score(x):
        start = time.perf_counter()
        out = fn(x)
        sync()
        inside[0] += time.perf_counter() - start
        return out

    return score


def incremental_cases(results, device, quick):
    from velkor.decoding import SequenceGenerator
    from velkor.model import DecoderOnlyTransformer, EncoderDecoderTransformer

    sync = torch.cuda.synchronize if device.type == "cuda" else (lambda: None)
    vocab, eos, sos = 40, 2, 1  # a character vocabulary
    batch, tokens, lm_tokens = (4, 30, 40) if quick else (16, 150, 200)
    torch.manual_seed(0)
    asr = EncoderDecoderTransformer(
        80,
        vocab,
        d_model=256,
        num_encoder_layers=4,
        num_decoder_layers=4,
        num_encoder_heads=4,
        num_decoder_heads=4,
        d_ff_encoder=1024,
        d_ff_decoder=1024,
        dropout=0.0,
        max_len=1000,
    )
    lm = DecoderOnlyTransformer(vocab, d_model=256, num_layers=4, num_heads=4, d_ff=1024, dropout=0.0, max_len=lm_tokens + 8)
    # Outputs of the full length: an untrained model would otherwise end at a random step.
    with torch.no_grad():
        for model in (asr, lm):
            model.final_linear.bias[eos] = -1e4
    asr, lm = asr.to(device).eval(), lm.to(device).eval()
    tok = Tokenizer(vocab, eos_id=eos)
    prompt = torch.full((batch, 1), sos, dtype=torch.long, device=device)

    def run(fn, method, *args, **kwargs):
        inside = [0.0]
        score = TimedScorer(fn, inside, sync) if hasattr(fn, "step") else timed_function(fn, inside, sync)
        torch.manual_seed(0)
        start = time.perf_counter()
        out = getattr(SequenceGenerator(score, tok, args[0]), method)(*args[1:], **kwargs)
        sync()
        total = time.perf_counter() - start
        return out, total, (total - inside[0]) / total

    def compare(label, full_fn, make_scorer, method, length, *args, bar, repeats=2, **kwargs):
        full, t_full, share_full = run(full_fn, method, length, prompt, *args, **kwargs)
        runs = [run(make_scorer(), method, length, prompt, *args, **kwargs) for _ in range(repeats)]
        inc, t_inc, share_inc = min(runs, key=lambda r: r[1])
        same = torch.equal(inc[0], full[0]) and torch.allclose(inc[1], full[1], atol=1e-4, rtol=0)
        assert same, f"{label}: incremental and full-prefix decoding differ"
        results.append((f"{label}: full prefix {t_full:.2f} s / incremental {t_inc:.2f} s (same results)", t_full / t_inc, bar, True))
        results.append((f"{label}: time outside the model, full prefix {share_full * 100:.1f}%, incremental", share_inc, None, False))

    with torch.inference_mode():
        lengths = torch.randint(400, 601, (batch,), generator=torch.Generator().manual_seed(1))
        feats = torch.randn(batch, int(lengths.max()), 80, generator=torch.Generator().manual_seed(2)).to(device)
        enc, mask = asr.encode(feats, lengths.to(device))[:2]
        speech = f"{batch} utterances, {enc.size(1)} encoder frames max, {tokens} tokens"
        full_fn = lambda x: asr.score(x, enc, mask)  # noqa: E731
        make_scorer = lambda: asr.incremental_scorer(enc, mask)  # noqa: E731
        compare(f"recognition beam 10, {speech}", full_fn, make_scorer, "generate_beam", tokens + 1, 10, bar=5.0, repeats=1 if quick else 2)
        compare(f"recognition greedy, {speech}", full_fn, make_scorer, "generate_greedy", tokens + 1, bar=3.0)
        compare(
            f"LM generation, {batch} rows x {lm_tokens} sampled tokens",
            lm.score,
            lm.incremental_scorer,
            "generate_sample",
            lm_tokens + 1,
            bar=5.0,
            top_k=10,
        )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    # One intra-op thread by default: on shared machines a busy second core makes torch's
    # parallel kernels stall, which would swamp both sides alike with noise.
    parser.add_argument("--threads", type=int, default=1, help="torch intra-op threads (default 1)")
    parser.add_argument("--suite", choices=["all", "generator", "incremental"], default="all")
    parser.add_argument("--device", default="cpu", help="device of the incremental suite (default cpu)")
    parser.add_argument("--quick", action="store_true", help="shorter outputs and a smaller batch in the incremental suite")
    args = parser.parse_args()
    torch.set_num_threads(args.threads)
    device = torch.device(args.device)
    where = torch.cuda.get_device_name(device) if device.type == "cuda" else "CPU"
    print(f"torch {torch.__version__}, {torch.get_num_threads()} intra-op thread(s), {where}")
    torch.manual_seed(0)
    results = []  # (label, value, bar, higher_is_better)
    if args.suite in ("all", "generator"):
        generator_cases(results)
    if args.suite in ("all", "incremental"):
        incremental_cases(results, device, args.quick)

    worst = None
    for text, value, bar, higher in results:
        if higher:
            verdict = "" if bar is None else f"  (bar >= {bar:g}x)"
            print(f"{text}: {value:.2f}x{verdict}")
        else:
            verdict = "" if bar is None else f"  (bar <= {bar * 100:g}%)"
            print(f"{text}: {value * 100:.1f}%{verdict}")
        if bar is not None:
            margin = value / bar if higher else bar / max(value, 1e-12)
            if worst is None or margin < worst[0]:
                worst = (margin, text, value, bar, higher)
    margin, text, value, bar, higher = worst
    shown = f"{value:.2f}x vs bar {bar:g}x" if higher else f"{value * 100:.1f}% vs bar {bar * 100:g}%"
    print(f"decisive: {text}: {shown} ({'meets' if margin >= 1 else 'MISSES'} the bar, margin {margin:.2f})")


if __name__ == "__main__":
    main()
