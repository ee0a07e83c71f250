"""CTC decoding: prefix scores against enumerated alignments, best path, joint CTC/attention search at
its extreme weights, and hostile inputs."""

import itertools
import math
from types import SimpleNamespace

import pytest
import torch
from hypothesis import given, settings
from hypothesis import strategies as st

from velkor.decoding import FusedScorer, SequenceGenerator
from velkor.decoding.ctc import CTCPrefixScorer, JointScorer, best_path, count_unalignable
from velkor.model import DecoderOnlyTransformer, EncoderDecoderTransformer

PAD, SOS, EOS = 0, 1, 2
TOK = SimpleNamespace(pad_id=PAD, sos_id=SOS, eos_id=EOS, num_classes=5)  # labels 3 and 4
NEG_INF = float("-inf")


def random_log_probs(seed, frames, batch, vocab=5, scale=1.5):
    gen = torch.Generator().manual_seed(seed)
    return (torch.randn(frames, batch, vocab, generator=gen, dtype=torch.float64) * scale).log_softmax(-1)


def collapse(path, blank=PAD):
    out, previous = [], None
    for p in path:
        if p != blank and p != previous:
            out.append(p)
        previous = p
    return out


def enumerate_paths(log_probs, b, length):
    """Every frame path of utterance b with its log-probability."""
    vocab = log_probs.size(2)
    for path in itertools.product(range(vocab), repeat=length):
        yield collapse(path), sum(log_probs[t, b, p].item() for t, p in enumerate(path))


def log_sum(values):
    values = list(values)
    if not values or max(values) == NEG_INF:
        return NEG_INF
    top = max(values)
    return top + math.log(sum(math.exp(v - top) for v in values))


def brute_scores(log_probs, b, length, prefix, eos_is_label):
    """Next-token scores of `prefix` by enumerating all alignments: log P(output starts with prefix + c)
    - log P(output starts with prefix); eos scores the whole output."""
    paths = list(enumerate_paths(log_probs, b, length))
    starts = lambda g: log_sum(s for out, s in paths if out[: len(g)] == g)  # noqa: E731
    base = starts(prefix)
    if base == NEG_INF:  # an impossible prefix has no possible extension
        return base, [NEG_INF] * log_probs.size(2)
    scores = []
    for c in range(log_probs.size(2)):
        if c in (PAD, SOS):
            scores.append(NEG_INF)
        elif c == EOS:
            whole = prefix + [EOS] if eos_is_label else prefix
            scores.append(log_sum(s for out, s in paths if out == whole) - base)
        else:
            scores.append(starts(prefix + [c]) - base)
    return base, scores


def assert_scores(actual, expected):
    for a, e in zip(actual, expected):
        if e == NEG_INF or e < -700:
            assert a < -700 or a == NEG_INF
        else:
            assert a == pytest.approx(e, abs=1e-9)


# ---------------------------------------------------------------------------------------------
# Prefix scores


@pytest.mark.parametrize("eos_is_label", [True, False])
@pytest.mark.parametrize("seed", range(4))
def test_prefix_scores_match_enumerated_alignments(seed, eos_is_label):
    """Random walks through start/step/select (beam expansion, reordering, repeated labels, ended rows)
    against brute force over every frame path, for utterances of different lengths."""
    gen = torch.Generator().manual_seed(100 + seed)
    batch, frames = 2, 4
    log_probs = random_log_probs(seed, frames, batch)
    lengths = [4, int(torch.randint(0, 4, (1,), generator=gen))]
    scorer = CTCPrefixScorer(log_probs, torch.tensor(lengths), TOK, eos_is_label=eos_is_label)
    rows = 2 * batch
    prefixes = [[] for _ in range(rows)]
    owners = [i // 2 for i in range(rows)]
    ended = [False] * rows
    scores = scorer.start(torch.full((rows, 1), SOS))
    for step in range(4):
        assert scores.dtype == torch.float64 and scores.shape == (rows, 5)
        for i in range(rows):
            b = owners[i]
            if ended[i]:
                assert torch.all(scores[i] == NEG_INF)
                continue
            base, expected = brute_scores(log_probs, b, lengths[b], prefixes[i], eos_is_label)
            assert_scores(scores[i].tolist(), expected)
            assert_scores([scorer.prefix_scores()[i].item()], [base])
        pick = torch.randint(0, rows, (rows,), generator=gen)
        scorer.select(pick)
        prefixes = [list(prefixes[j]) for j in pick.tolist()]
        owners = [owners[j] for j in pick.tolist()]
        ended = [ended[j] for j in pick.tolist()]
        # Mostly labels (repeats included), sometimes eos or blank, which end the row.
        tokens = torch.randint(3, 5, (rows,), generator=gen)
        if step == 2:
            tokens[0], tokens[1] = EOS, PAD
        for i, t in enumerate(tokens.tolist()):
            ended[i] = ended[i] or t in (EOS, PAD)
            prefixes[i].append(t)
        scores = scorer.step(tokens)


def test_prompt_labels_after_sos_are_fed_and_float32_scores_follow_the_input():
    log_probs = random_log_probs(7, 5, 1).float()
    fed = CTCPrefixScorer(log_probs, None, TOK)
    scores = fed.start(torch.tensor([[SOS, 3, 4]]))
    stepped = CTCPrefixScorer(log_probs, None, TOK)
    stepped.start(torch.tensor([[SOS]]))
    stepped.step(torch.tensor([3]))
    assert scores.dtype == torch.float32
    torch.testing.assert_close(scores, stepped.step(torch.tensor([4])))


# ---------------------------------------------------------------------------------------------
# Best path


@pytest.mark.parametrize(
    "frames, length, expected",
    [
        ([3, 3, PAD, 3, 4, 4, PAD], 7, [3, 3, 4]),  # a blank separates the repeated label
        ([3, 3, PAD, 3, 4, 4, PAD], 2, [3]),  # frames past the length are ignored
        ([PAD, PAD, PAD], 3, []),
        ([4, 3, 4, EOS, EOS], 5, [4, 3, 4, EOS]),
        ([4, 3], 0, []),
    ],
)
def test_best_path_on_hand_made_posteriors(frames, length, expected):
    probs = torch.zeros(len(frames), 1, 5, dtype=torch.float64)
    for t, c in enumerate(frames):
        probs[t, 0] = 0.1
        probs[t, 0, c] = 0.6
    probs[0, 0, 1] = 0.0  # a zero probability (log -inf) somewhere
    hyps, scores = best_path(probs.log(), torch.tensor([length]), PAD)
    assert hyps == [expected]
    assert scores.item() == pytest.approx(length * math.log(0.6))


def test_best_path_matches_a_torch_reference_on_random_batches():
    log_probs = random_log_probs(3, 30, 6, vocab=7, scale=3.0).float()
    lengths = torch.tensor([30, 0, 1, 17, 29, 5])
    hyps, scores = best_path(log_probs, lengths, blank=2)
    for b, n in enumerate(lengths.tolist()):
        values, ids = log_probs[:n, b].max(-1)
        ids = torch.unique_consecutive(ids)
        assert hyps[b] == ids[ids != 2].tolist()
        assert scores[b].item() == pytest.approx(values.sum().item(), abs=1e-4)


# ---------------------------------------------------------------------------------------------
# Joint search


def table_attention(vocab=5, seed=0, buckets=97):
    """Deterministic logits that depend on each row's whole prefix."""
    gen = torch.Generator().manual_seed(seed)
    table = torch.randn(buckets, vocab, generator=gen, dtype=torch.float64) * 2
    weights = torch.randint(1, buckets, (64,), generator=gen)
    return lambda x: table[(x.long() * weights[: x.size(1)]).sum(1) % buckets].clone()


def ctc_log_likelihood(log_probs, b, length, labels):
    if length < len(labels):
        return NEG_INF
    loss = torch.nn.functional.ctc_loss(
        log_probs[:, b : b + 1], torch.tensor([labels]), torch.tensor([length]), torch.tensor([len(labels)]), blank=PAD, reduction="sum"
    )
    return -loss.item()


@pytest.mark.parametrize("search", ["greedy", "beam"])
def test_weight_zero_is_exactly_attention_search(search):
    attention = table_attention()
    log_probs = random_log_probs(1, 6, 3)
    prompt = torch.full((3, 1), SOS)
    plain = SequenceGenerator(attention, TOK, 8, "cpu")
    joint = SequenceGenerator(JointScorer(attention, CTCPrefixScorer(log_probs, None, TOK), 0.0), TOK, 8, "cpu")
    run = (lambda g: g.generate_greedy(prompt)) if search == "greedy" else (lambda g: g.generate_beam(prompt, 4))
    (expected_seq, expected_scores), (seq, scores) = run(plain), run(joint)
    assert torch.equal(seq, expected_seq)
    assert torch.equal(scores, expected_scores)


@pytest.mark.parametrize("eos_is_label", [True, False])
@pytest.mark.parametrize("seed", range(3))
def test_weight_one_wide_beam_is_exhaustive_ctc_search(seed, eos_is_label):
    """Labels 3 and 4, at most 3 of them in 3 frames: a beam of 16 keeps every hypothesis."""
    batch = 3
    log_probs = random_log_probs(seed, 3, batch, scale=2.5)
    lengths = [3, 2, 3]
    scorer = JointScorer(table_attention(seed=seed), CTCPrefixScorer(log_probs, torch.tensor(lengths), TOK, eos_is_label=eos_is_label), 1.0)
    sequences, scores = SequenceGenerator(scorer, TOK, 5, "cpu").generate_beam(torch.full((batch, 1), SOS), 16)
    for b in range(batch):
        candidates = [list(y) for n in range(4) for y in itertools.product((3, 4), repeat=n)]
        likelihood = [ctc_log_likelihood(log_probs, b, lengths[b], y + [EOS] if eos_is_label else y) for y in candidates]
        best = max(range(len(candidates)), key=lambda i: likelihood[i])
        found = sequences[b, 0].tolist()
        assert found[: found.index(EOS) + 1] == [SOS] + candidates[best] + [EOS]
        assert scores[b, 0].item() == pytest.approx(likelihood[best], abs=1e-6)


def test_joint_scores_sum_to_weighted_attention_and_ctc_log_likelihoods():
    """Every hypothesis the beam finishes scores (1 - w) log p_att(y, eos) + w log p_ctc(y, eos)."""
    attention = table_attention(seed=5)
    log_probs = random_log_probs(5, 6, 2)
    w = 0.3
    scorer = JointScorer(attention, CTCPrefixScorer(log_probs, torch.tensor([6, 4]), TOK), w)
    sequences, scores = SequenceGenerator(scorer, TOK, 6, "cpu").generate_beam(torch.full((2, 1), SOS), 3)
    checked = 0
    for b in range(2):
        for k in range(3):
            seq = sequences[b, k].tolist()
            if EOS not in seq or scores[b, k] == NEG_INF:
                continue
            seq = seq[: seq.index(EOS) + 1]
            att = sum(attention(torch.tensor([seq[:t]])).log_softmax(-1)[0, seq[t]].item() for t in range(1, len(seq)))
            ctc = ctc_log_likelihood(log_probs, b, [6, 4][b], seq[1:])
            assert scores[b, k].item() == pytest.approx((1 - w) * att + w * ctc, abs=1e-5)
            checked += 1
    assert checked >= 3


def test_composes_with_incremental_decoding_and_shallow_fusion():
    """The models' incremental scorers fused with a language model give the joint search of the
    full-prefix fusion closure (float32 CTC scores from the model's own CTC head)."""
    torch.manual_seed(0)
    asr = EncoderDecoderTransformer(
        input_dim=8,
        num_classes=5,
        d_model=16,
        num_encoder_layers=1,
        num_decoder_layers=2,
        num_encoder_heads=2,
        num_decoder_heads=2,
        d_ff_encoder=32,
        d_ff_decoder=32,
        dropout=0.0,
        max_len=64,
        time_reduction=2,
        reduction_method="conv",
    ).eval()
    lm = DecoderOnlyTransformer(num_classes=5, d_model=16, num_layers=1, num_heads=2, d_ff=32, dropout=0.0, max_len=64).eval()
    with torch.inference_mode():
        enc, mask, _, ctc = asr.encode(torch.randn(2, 20, 8), torch.tensor([20, 15]))
        closure = lambda x: asr.score(x, enc, mask) + 0.5 * lm.score(x)  # noqa: E731
        fused = FusedScorer(asr.incremental_scorer(enc, mask), lm.incremental_scorer(), 0.5)
        prompt = torch.full((2, 1), SOS)
        runs = [
            SequenceGenerator(JointScorer(a, CTCPrefixScorer(ctc["log_probs"], ctc["lengths"], TOK), 0.4), TOK, 7).generate_beam(prompt, 3)
            for a in (closure, fused)
        ]
    assert torch.equal(runs[0][0], runs[1][0])
    torch.testing.assert_close(runs[0][1], runs[1][1], rtol=1e-4, atol=1e-4)


# ---------------------------------------------------------------------------------------------
# Alignability and bad input


def test_count_unalignable_agrees_with_the_ctc_loss():
    gen = torch.Generator().manual_seed(0)
    targets = [torch.randint(3, 6, (int(n),), generator=gen).tolist() for n in torch.randint(1, 7, (40,), generator=gen)]
    frames = torch.randint(1, 10, (40,), generator=gen)
    infinite = 0
    for y, t in zip(targets, frames.tolist()):
        log_probs = torch.zeros(t, 1, 6).log_softmax(-1)
        infinite += math.isinf(torch.nn.functional.ctc_loss(log_probs, torch.tensor([y]), torch.tensor([t]), torch.tensor([len(y)])).item())
    assert 0 < infinite < 40
    assert count_unalignable(frames, targets) == infinite
    assert count_unalignable(frames.tolist(), [torch.tensor(y) for y in targets]) == infinite


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: CTCPrefixScorer(torch.zeros(3, 5), None, TOK), ValueError, "3-dimensional"),
        (lambda: CTCPrefixScorer(torch.zeros(3, 1, 5, dtype=torch.long), None, TOK), TypeError, "floating-point"),
        (lambda: CTCPrefixScorer(torch.zeros(3, 2, 5), torch.tensor([3, 4]), TOK), ValueError, "between 0 and 3"),
        (lambda: CTCPrefixScorer(torch.zeros(3, 2, 5), torch.tensor([3]), TOK), ValueError, "one value per utterance"),
        (lambda: CTCPrefixScorer(torch.zeros(3, 2, 5), None, SimpleNamespace(pad_id=0, eos_id=0)), ValueError, "differ"),
        (lambda: CTCPrefixScorer(torch.zeros(3, 2, 5), None, SimpleNamespace(pad_id=0, eos_id=7)), ValueError, "eos_id"),
        (lambda: CTCPrefixScorer(torch.zeros(3, 2, 5), None, TOK).start(torch.ones(3, 1, dtype=torch.long)), ValueError, "multiple"),
        (lambda: CTCPrefixScorer(torch.zeros(3, 2, 5), None, TOK).step(torch.ones(2, dtype=torch.long)), ValueError, "start"),
        (lambda: JointScorer(lambda x: x, CTCPrefixScorer(torch.zeros(3, 2, 5), None, TOK), 1.5), ValueError, "between 0 and 1"),
        (lambda: JointScorer(3, CTCPrefixScorer(torch.zeros(3, 2, 5), None, TOK)), TypeError, "attention"),
        (lambda: best_path(torch.zeros(3, 2, 5), None, 5), ValueError, "blank"),
    ],
)
def test_bad_input_is_refused(call, error, message):
    with pytest.raises(error, match=message):
        call()


@pytest.mark.parametrize("bad", ["rows", "tokens"])
def test_select_and_step_check_their_sizes(bad):
    scorer = CTCPrefixScorer(torch.zeros(3, 2, 5).log_softmax(-1), None, TOK)
    scorer.start(torch.full((4, 1), SOS))
    with pytest.raises(ValueError, match="rows must index the current 4 rows" if bad == "rows" else "one id per row"):
        if bad == "rows":
            scorer.select(torch.tensor([0, 4]))
        else:
            scorer.step(torch.tensor([3, 3, 3]))


@pytest.mark.skipif(not torch.cuda.is_available(), reason="needs a CUDA device")
@pytest.mark.parametrize("weight", [0.0, 0.4, 1.0])
def test_cuda_search_matches_the_cpu(weight):
    attention = table_attention(seed=2)
    log_probs = random_log_probs(2, 7, 3).float()
    lengths = torch.tensor([7, 5, 6])
    results = []
    for device in ("cpu", "cuda"):
        table = lambda x: attention(x.cpu()).float().to(x.device)  # noqa: E731
        scorer = JointScorer(table, CTCPrefixScorer(log_probs.to(device), lengths.to(device), TOK), weight)
        prompt = torch.full((3, 1), SOS, device=device)
        results.append([t.cpu() for t in SequenceGenerator(scorer, TOK, 8, device).generate_beam(prompt, 4)])
    assert torch.equal(results[0][0], results[1][0])
    torch.testing.assert_close(results[0][1], results[1][1], rtol=1e-4, atol=1e-4)


@settings(max_examples=40, deadline=None)
@given(
    frames=st.integers(0, 5),
    batch=st.integers(0, 3),
    per=st.integers(1, 3),
    prompt=st.integers(0, 3),
    eos_is_label=st.booleans(),
    blank_impossible=st.booleans(),
    seed=st.integers(0, 2**16),
)
def test_random_walks_with_hostile_ids_never_crash_or_give_nan(frames, batch, per, prompt, eos_is_label, blank_impossible, seed):
    """Out-of-range and special ids, empty batches, zero frames, impossible blanks, rows dropped and repeated."""
    gen = torch.Generator().manual_seed(seed)
    log_probs = torch.randn(frames, batch, 6, generator=gen).log_softmax(-1)
    if blank_impossible:
        log_probs[..., PAD] = NEG_INF
    scorer = CTCPrefixScorer(log_probs, torch.randint(0, frames + 1, (batch,), generator=gen), TOK, eos_is_label=eos_is_label)
    rows = batch * per
    scores = scorer.start(torch.randint(-2, 8, (rows, prompt), generator=gen))
    for _ in range(3):
        assert scores.shape == (rows, 6) and not torch.isnan(scores).any()
        assert torch.all(scores[:, [PAD, SOS]] == NEG_INF)
        if rows == 0:
            break
        pick = torch.randint(0, rows, (int(torch.randint(0, 2 * rows + 1, (1,), generator=gen)),), generator=gen)
        scorer.select(pick)
        rows = pick.numel()
        scores = scorer.step(torch.randint(-2, 8, (rows,), generator=gen))
