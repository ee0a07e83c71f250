"""The generator's incremental-scorer protocol, against the same scores given as a plain callable."""

import pytest
import torch
from hypothesis import HealthCheck, given, settings

from velkor.decoding import FusedScorer, SequenceGenerator
from test_maravex import Tok, decoding_case, never_called, table_score_fn


class PrefixScorer:
    """Scores rows by their whole prefix, kept through start/step/select: exactly what the generator
    asks a callable for, if and only if it follows the protocol (rows selected, tokens appended)."""

    def __init__(self, score_fn, log_probs=None, max_len=None):
        self.score_fn, self.rows, self.calls = score_fn, None, []
        if log_probs is not None:
            self.log_probs = log_probs
        if max_len is not None:
            self.max_len = max_len

    def start(self, x):
        self.calls.append(("start", x.shape))
        self.rows = x.clone()
        return self.score_fn(self.rows)

    def step(self, tokens):
        self.calls.append(("step", tokens.shape))
        assert tokens.shape == (self.rows.size(0),)
        self.rows = torch.cat([self.rows, tokens[:, None]], 1)
        return self.score_fn(self.rows)

    def select(self, rows):
        self.calls.append(("select", rows.shape))
        self.rows = self.rows[rows]


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(decoding_case())
def test_scorer_gives_what_the_callable_gives(case):
    tok = Tok(num_classes=case["vocab"], eos_id=case["eos"], pad_id=case["pad"])
    score_fn = table_score_fn(case["vocab"], seed=case["seed"], buckets=53, scale=case["scale"])
    plain = SequenceGenerator(score_fn, tok, case["max_length"])
    scorer = PrefixScorer(score_fn)
    ours = SequenceGenerator(scorer, tok, case["max_length"])
    x, width = case["x"], case["width"]
    opts = dict(temperature=case["temperature"], repeat_penalty=case["penalty"])
    for method, args, kwargs in [
        ("generate_greedy", (x,), opts),
        ("generate_beam", (x, width), opts),
        ("generate_sample", (x,), dict(temperature=case["temperature"], top_k=2, top_p=0.9)),
    ]:
        torch.manual_seed(case["seed"])
        expected = getattr(plain, method)(*args, **kwargs)
        torch.manual_seed(case["seed"])
        scorer.calls.clear()
        got = getattr(ours, method)(*args, **kwargs)
        assert torch.equal(got[0], expected[0]) and torch.equal(got[1], expected[1]), method
        # start exactly once (when a step runs), then steps; only beam search selects rows.
        names = [c[0] for c in scorer.calls]
        if names:
            assert names[0] == "start" and names.count("start") == 1
            assert ("select" in names) == (method == "generate_beam")


def raw_brute_force(score_fn, prompt, max_length, eos):
    """Every complete hypothesis scored by summing the raw scores (no normalization)."""
    done = []

    def expand(seq, score):
        row = score_fn(torch.tensor([seq]))[0]
        for token in range(row.numel()):
            total = score + row[token]
            if token == eos or len(seq) + 1 == max_length:
                done.append((seq + [token], total.item()))
            else:
                expand(seq + [token], total)

    expand(list(prompt), torch.zeros(()))
    return sorted(done, key=lambda item: -item[1])


def test_log_probs_scores_are_used_as_given():
    tok = Tok(num_classes=3, eos_id=1, pad_id=2)
    score_fn = table_score_fn(3, seed=7)
    scorer = PrefixScorer(score_fn, log_probs=True)
    expected = raw_brute_force(score_fn, [0], 4, tok.eos_id)
    seqs, scores = SequenceGenerator(scorer, tok, 4).generate_beam(torch.tensor([[0]]), 27)
    for idx, (seq, score) in enumerate(expected):
        assert seqs[0, idx, : len(seq)].tolist() == seq
        assert scores[0, idx].item() == pytest.approx(score, abs=1e-5)
    # Greedy sums the raw scores of the argmax path.
    seqs, scores = SequenceGenerator(scorer, tok, 4).generate_greedy(torch.tensor([[0]]))
    total, prefix = 0.0, [0]
    for _ in seqs[0, 1:].tolist():
        row = score_fn(torch.tensor([prefix]))[0]
        token = int(row.argmax())
        total += row[token].item()
        prefix.append(token)
        if token == tok.eos_id:
            break
    assert scores.item() == pytest.approx(total, abs=1e-5)


@pytest.mark.parametrize("incremental", [True, False])
def test_generation_stops_at_the_models_max_len(incremental):
    tok = Tok(num_classes=6, eos_id=5, pad_id=0)

    def score_fn(x):
        assert x.size(1) < 4, "asked to score past the model's positions"
        out = torch.zeros(x.size(0), 6)
        out[:, [0, 5]] = -50.0  # neither eos nor pad ever wins
        return out

    if incremental:
        fn = PrefixScorer(score_fn, max_len=4)
    else:
        fn = lambda x: score_fn(x)  # noqa: E731
        fn.max_len = 4
    g = SequenceGenerator(fn, tok, 9)
    x = torch.tensor([[1], [2]])
    seqs, _ = g.generate_greedy(x)
    assert seqs.shape == (2, 4)
    torch.manual_seed(0)
    assert g.generate_sample(x)[0].shape == (2, 4)
    seqs, scores = g.generate_beam(x, 3)
    # The documented width stays max_length; hypotheses end at max_len, padded after.
    assert seqs.shape == (2, 3, 9) and torch.isfinite(scores).all()
    assert (seqs[:, :, 4:] == tok.pad_id).all() and (seqs[:, :, 1:4] != tok.pad_id).all()


def test_bound_method_of_a_language_model_stops_at_its_max_len():
    from velkor.model import DecoderOnlyTransformer

    lm = DecoderOnlyTransformer(7, d_model=8, num_layers=1, num_heads=2, d_ff=8, max_len=5).eval()
    tok = Tok(num_classes=7, eos_id=99, pad_id=0)  # an eos never produced
    with torch.no_grad():
        seqs, _ = SequenceGenerator(lm.score, tok, 20).generate_greedy(torch.zeros(2, 1, dtype=torch.long))
        beams, _ = SequenceGenerator(lm.score, tok, 20).generate_beam(torch.zeros(1, 1, dtype=torch.long), 2)
    assert seqs.shape == (2, 5) and beams.shape == (1, 2, 20)
    with pytest.raises(TypeError, match="score_fn's attribute 'max_len' must be of type int or None, got str"):
        SequenceGenerator(PrefixScorer(lm.score, max_len="5"), tok, 20).generate_greedy(torch.zeros(2, 1, dtype=torch.long))


# ---------------------------------------------------------------------------------------------
# Scores of the wrong shape are refused before a single value is read


def rows_from_step(n, shape_after):
    """Scores of the right shape for the first n calls, then of `shape_after` (rows, vocab) or (vocab,)."""
    calls = [0]

    def score_fn(x):
        calls[0] += 1
        shape = (x.size(0), 5) if calls[0] <= n else shape_after(x.size(0))
        return torch.randn(shape)

    return score_fn


@pytest.mark.parametrize("method", ["generate_greedy", "generate_sample"])
@pytest.mark.parametrize(
    "score_fn, shown",
    [
        (rows_from_step(0, lambda n: (1, 5)), r"\(1, 5\)"),
        (rows_from_step(0, lambda n: (5,)), r"\(5,\)"),
        (rows_from_step(1, lambda n: (n - 1, 5)), r"\(63, 5\)"),
        (rows_from_step(0, lambda n: (n, 4)), r"\(64, 4\)"),
        (rows_from_step(0, lambda n: (n, 1, 5)), r"\(64, 1, 5\)"),
    ],
)
def test_greedy_and_sampling_refuse_scores_of_the_wrong_shape(method, score_fn, shown):
    g = SequenceGenerator(score_fn, Tok(num_classes=5, eos_id=4), 6)
    with pytest.raises(ValueError, match=rf"score_fn returned scores of shape {shown}, expected \(64, 5\)"):
        getattr(g, method)(torch.zeros(64, 1, dtype=torch.long))


@pytest.mark.parametrize("method, args", [("generate_greedy", ()), ("generate_sample", ()), ("generate_beam", (3,))])
def test_scorers_returning_the_wrong_shape_are_refused(method, args):
    score_fn = table_score_fn(5, seed=1)
    step_rows = [0]

    class Short(PrefixScorer):
        def step(self, tokens):
            step_rows[0] += 1
            return super().step(tokens)[:-1]

    with pytest.raises(ValueError, match=r"scorer.step returned scores of shape \(\d+, 5\), expected \(\d+, 5\)"):
        getattr(SequenceGenerator(Short(score_fn), Tok(num_classes=5, eos_id=99), 6), method)(torch.zeros(4, 1, dtype=torch.long), *args)
    start_bad = PrefixScorer(lambda x: torch.zeros(x.size(0), 4))
    with pytest.raises(ValueError, match=r"scorer.start returned scores of shape \(4, 4\), expected \(4, 5\)"):
        getattr(SequenceGenerator(start_bad, Tok(num_classes=5, eos_id=99), 6), method)(torch.zeros(4, 1, dtype=torch.long), *args)


@pytest.mark.parametrize(
    "seq, eos, message",
    [
        (torch.zeros(4, 3, dtype=torch.long), torch.tensor([1, 2]).view(2, 1, 1), r"mask of shape \(4, 3\), got \(2, 4, 3\)"),
        (torch.zeros(4, 3, dtype=torch.long), torch.zeros(1, 1, 3), r"mask of shape \(4, 3\), got \(1, 4, 3\)"),
        (torch.zeros(2, 3, 0, dtype=torch.long), 1, r"1-dimensional or 2-dimensional, got shape \(2, 3, 0\)"),
        (torch.zeros((), dtype=torch.long), 1, r"got shape \(\)"),
    ],
)
def test_post_process_sequence_refuses_masks_of_another_shape(seq, eos, message):
    with pytest.raises(ValueError, match=message):
        SequenceGenerator.post_process_sequence(seq, Tok(eos_id=eos))


# ---------------------------------------------------------------------------------------------
# Shallow fusion


def test_fused_scorer_matches_the_fused_callable():
    tok = Tok(num_classes=6, eos_id=2, pad_id=0)
    asr_fn, lm_fn = table_score_fn(6, seed=3), table_score_fn(6, seed=4, scale=1.0)
    fused = FusedScorer(PrefixScorer(asr_fn, max_len=9), PrefixScorer(lm_fn, max_len=7), 0.3)
    assert (fused.lm_weight, fused.log_probs, fused.max_len) == (0.3, False, 7)
    plain = SequenceGenerator(lambda x: asr_fn(x) + 0.3 * lm_fn(x), tok, 7)
    x = torch.tensor([[0, 1], [3, 3], [4, 0]])
    for method, args in [("generate_greedy", (x,)), ("generate_beam", (x, 4))]:
        expected = getattr(plain, method)(*args, repeat_penalty=1.2)
        got = getattr(SequenceGenerator(fused, tok, 12), method)(*args, repeat_penalty=1.2)
        assert torch.equal(got[0][..., :7], expected[0]) and torch.allclose(got[1], expected[1])


def test_fused_scorer_with_log_score_speech_scorer_adds_lm_log_probs():
    asr_fn, lm_fn = table_score_fn(6, seed=3), table_score_fn(6, seed=4)
    fused = FusedScorer(PrefixScorer(asr_fn, log_probs=True), PrefixScorer(lm_fn), 0.5)
    x = torch.tensor([[0, 1], [3, 3]])
    assert fused.log_probs is True and fused.max_len is None
    torch.testing.assert_close(fused.start(x), asr_fn(x) + 0.5 * torch.log_softmax(lm_fn(x), -1))
    # A weight of 0 leaves the language model out: its impossible tokens (-inf) do not turn into NaN.
    unfused = FusedScorer(PrefixScorer(asr_fn), PrefixScorer(lambda x: torch.full((x.size(0), 6), float("-inf"))), 0.0)
    assert torch.equal(unfused.start(x), asr_fn(x))


def test_fused_scorer_errors():
    with pytest.raises(TypeError, match=r"Argument 'lm_scorer' must be of type incremental scorer \(start, step, select\), got function"):
        FusedScorer(PrefixScorer(never_called), never_called, 0.1)
    with pytest.raises(TypeError, match="Argument 'lm_weight' must be of type float, got str"):
        FusedScorer(PrefixScorer(never_called), PrefixScorer(never_called), "0.1")
    for weight in (float("nan"), float("inf"), -0.5):
        with pytest.raises(ValueError, match=rf"^lm_weight must be a finite number >= 0, got {weight}$"):
            FusedScorer(PrefixScorer(never_called), PrefixScorer(never_called), weight)
    assert FusedScorer(PrefixScorer(never_called), PrefixScorer(never_called), 0).lm_weight == 0.0
    fused = FusedScorer(PrefixScorer(table_score_fn(6)), PrefixScorer(table_score_fn(5)), 0.1)
    with pytest.raises(ValueError, match=r"lm_scorer.start returned scores of shape \(2, 5\), expected \(2, 6\)"):
        fused.start(torch.zeros(2, 1, dtype=torch.long))
