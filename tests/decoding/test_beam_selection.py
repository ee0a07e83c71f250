"""Beam search on steps large enough for the two-stage top-K selection: results must match the
plain-Python transliteration exactly (values, tokens and the order of ties), including the steps
where the selection has to fall back to the full top-k."""

import pytest
import torch
from torch.profiler import ProfilerActivity, profile

from velkor.decoding import SequenceGenerator

from reference_decoding import ReferenceGenerator
from tiny import Tok

NEG_INF = float("-inf")


def prefix_logits(vocab, seed, make_row, buckets=97):
    """Deterministic logits per prefix: a table of rows from make_row(generator), looked up by a
    hash of the whole prefix."""
    gen = torch.Generator().manual_seed(seed)
    table = torch.stack([make_row(gen) for _ in range(buckets)])
    weights = torch.randint(1, buckets, (64,), generator=gen)

    def score(x):
        return table[(x.long() * weights[: x.size(1)]).sum(1) % buckets].clone()

    return score


def random_rows(vocab):
    return lambda gen: torch.randn(vocab, generator=gen) * 3.0


def coarse_rows(vocab, levels):
    """Few distinct logit values: ties inside the best K, at its boundary and across beams."""
    return lambda gen: torch.randint(0, levels, (vocab,), generator=gen).float()


def sparse_rows(vocab, finite):
    """Only `finite` tokens possible per row: fewer candidates than the beam at the first steps."""

    def row(gen):
        out = torch.full((vocab,), NEG_INF)
        out[torch.randperm(vocab, generator=gen)[:finite]] = torch.randn(finite, generator=gen)
        return out

    return row


def flat_rows(vocab):
    """Equal logits everywhere: every candidate ties with every other."""
    return lambda gen: torch.zeros(vocab)


def eos_heavy_rows(vocab, eos):
    """The end token often among the best: beams go inactive mid-search."""

    def row(gen):
        out = torch.randn(vocab, generator=gen)
        out[eos] += 3.0 * torch.rand((), generator=gen)
        return out

    return row


def planted_rows(vocab, count):
    """Distinct small logits with `count` equal large ones planted at random places: ties at the
    top, inside the best K or just across its boundary."""

    def row(gen):
        out = torch.rand(vocab, generator=gen)
        out[torch.randperm(vocab, generator=gen)[:count]] = 4.0
        return out

    return row


CASES = {
    "random": lambda v: random_rows(v),
    "coarse-ties": lambda v: coarse_rows(v, 3),
    "few-values": lambda v: coarse_rows(v, 40),
    "sparse": lambda v: sparse_rows(v, 3),
    "flat": lambda v: flat_rows(v),
    "eos-heavy": lambda v: eos_heavy_rows(v, 1),
    "planted-2": lambda v: planted_rows(v, 2),
    "planted-4": lambda v: planted_rows(v, 4),
    "planted-6": lambda v: planted_rows(v, 6),
}


def run_both(score_fn, tok, x, width, max_length, **opts):
    ours = SequenceGenerator(score_fn, tok, max_length).generate_beam(x, width, **opts)
    plain = ReferenceGenerator(score_fn, tok, max_length).generate_beam(x, width, **opts)
    return ours, plain


@pytest.mark.parametrize("case", sorted(CASES))
@pytest.mark.parametrize("batch, width, vocab", [(3, 4, 2048), (2, 7, 1500), (1, 3, 6007)])
def test_beam_matches_reference_on_large_steps(case, batch, width, vocab):
    tok = Tok(vocab, eos_id=1, pad_id=5)
    score_fn = prefix_logits(vocab, seed=batch * width, make_row=CASES[case](vocab))
    x = torch.randint(0, vocab, (batch, 2), generator=torch.Generator().manual_seed(vocab))
    (seqs, scores), (ref_seqs, ref_scores) = run_both(score_fn, tok, x, width, 9)
    assert torch.equal(scores, ref_scores)
    assert torch.equal(seqs, ref_seqs)


@pytest.mark.parametrize("opts", [dict(temperature=0.7), dict(repeat_penalty=1.4), dict(temperature=1.3, repeat_penalty=0.8)])
def test_beam_matches_reference_with_temperature_and_penalty(opts):
    vocab = 3000
    tok = Tok(vocab, eos_id=2, pad_id=0)
    score_fn = prefix_logits(vocab, seed=5, make_row=coarse_rows(vocab, 200))
    x = torch.tensor([[7, 9], [4, 4], [0, 3]])
    (seqs, scores), (ref_seqs, ref_scores) = run_both(score_fn, tok, x, 5, 8, **opts)
    assert torch.equal(scores, ref_scores) and torch.equal(seqs, ref_seqs)


def test_beam_matches_reference_with_float64_logits():
    vocab = 2500
    tok = Tok(vocab, eos_id=3, pad_id=0)
    table_fn = prefix_logits(vocab, seed=9, make_row=random_rows(vocab))
    score_fn = lambda x: table_fn(x).double()  # noqa: E731
    x = torch.tensor([[1], [2]])
    (seqs, scores), (ref_seqs, ref_scores) = run_both(score_fn, tok, x, 4, 7)
    assert scores.dtype == ref_scores.dtype
    assert torch.equal(scores, ref_scores) and torch.equal(seqs, ref_seqs)


@pytest.mark.parametrize("case, two_stage_steps", [("random", True), ("flat", False)])
def test_selection_path_is_taken_where_it_is_exact(case, two_stage_steps):
    # Guards the tests above: distinct totals go through the two-stage selection, and a step
    # full of ties is answered by the full top-k over every candidate.
    vocab, batch, width, steps = 2048, 3, 4, 5
    tok = Tok(vocab, eos_id=1, pad_id=0)
    score_fn = prefix_logits(vocab, seed=1, make_row=CASES[case](vocab))
    x = torch.zeros(batch, 1, dtype=torch.long)
    gen = SequenceGenerator(score_fn, tok, 1 + steps)
    with profile(activities=[ProfilerActivity.CPU], record_shapes=True) as prof:
        gen.generate_beam(x, width)
    full = [e for e in prof.events() if e.name == "aten::topk" and list(e.input_shapes[0]) == [batch, width * vocab]]
    if two_stage_steps:
        assert len(full) < steps
    else:
        assert len(full) == steps


@pytest.mark.parametrize("offset", [1, 1024])
@pytest.mark.parametrize("seed", range(2))
def test_tie_at_the_boundary_of_the_best_k(offset, seed):
    # K - 1 distinct leaders, then two equal entries for the K-th place (`offset` apart: in the
    # same or in different groups of candidates), everything else lower.
    vocab, width = 2048, 4
    gen = torch.Generator().manual_seed(seed)
    row = torch.rand(vocab, generator=gen)
    places = torch.randperm(vocab - offset, generator=gen)[:width]
    row[places[: width - 1]] = torch.tensor([9.0, 8.0, 7.0])
    row[places[-1]] = row[places[-1] + offset] = 6.0
    tok = Tok(vocab, eos_id=vocab - 1, pad_id=0)
    score_fn = lambda x: row.expand(x.size(0), -1).clone()  # noqa: E731
    x = torch.zeros(5, 1, dtype=torch.long)
    (seqs, scores), (ref_seqs, ref_scores) = run_both(score_fn, tok, x, width, 3)
    assert torch.equal(scores, ref_scores) and torch.equal(seqs, ref_seqs)
