"""Incremental decoding (cached keys and values) gives what full-prefix decoding gives."""

import pytest
import torch
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from torch import nn

from velkor.decoding import FusedScorer, SequenceGenerator
from velkor.model import DecoderOnlyTransformer, EncoderDecoderTransformer
from velkor.model.transformers import IncrementalScorer

V, FEATS = 13, 6


class Tok:
    def __init__(self, eos_id, pad_id=0):
        self.num_classes, self.eos_id, self.pad_id = V, eos_id, pad_id


@pytest.fixture(autouse=True, scope="module")
def single_thread():
    threads = torch.get_num_threads()
    torch.set_num_threads(1)
    yield
    torch.set_num_threads(threads)


def models(dtype, replaced):
    torch.manual_seed(1)
    asr = EncoderDecoderTransformer(
        FEATS,
        V,
        d_model=16,
        num_encoder_layers=1,
        num_decoder_layers=3,
        num_encoder_heads=2,
        num_decoder_heads=2,
        d_ff_encoder=16,
        d_ff_decoder=24,
        max_len=40,
        time_reduction=2,
        reduction_method="conv",
    )
    lm = DecoderOnlyTransformer(V, d_model=16, num_layers=3, num_heads=4, d_ff=24, max_len=40)
    for model in (asr, lm):
        with torch.no_grad():
            for p in model.parameters():  # sharper than the initialisation, so decoding choices are not near ties
                p.mul_(2.0)
        if replaced:  # as the progressive trainer does: a sub-list of the model's own layers
            layers = list(model.dec_layers)
            model.dec_layers = nn.ModuleList([layers[2], layers[0]])
    return asr.to(dtype).eval(), lm.to(dtype).eval()


MODELS = {(dtype, replaced): models(dtype, replaced) for dtype in (torch.float32, torch.float64) for replaced in (False, True)}


@st.composite
def cases(draw):
    batch = draw(st.integers(1, 3))
    prompt = draw(st.integers(1, 3))
    return dict(
        kind=draw(st.sampled_from(["asr", "lm", "fusion"])),
        dtype=draw(st.sampled_from([torch.float32, torch.float64])),
        replaced=draw(st.booleans()),
        seed=draw(st.integers(0, 10_000)),
        batch=batch,
        prompt=prompt,
        frames=[draw(st.integers(8, 30)) for _ in range(batch)],
        max_length=prompt + draw(st.integers(1, 9)),
        beam=draw(st.sampled_from([1, 4, 10])),
        eos=draw(st.integers(1, V - 1)),
        penalty=draw(st.sampled_from([1.0, 1.3])),
        temperature=draw(st.sampled_from([1.0, 0.7])),
    )


def build(case):
    """(full-prefix score function, incremental scorer, prompt) for a case."""
    asr, lm = MODELS[case["dtype"], case["replaced"]]
    gen = torch.Generator().manual_seed(case["seed"])
    device = lm.final_linear.weight.device
    x = torch.randint(1, V, (case["batch"], case["prompt"]), generator=gen).to(device)
    if case["kind"] == "lm":
        return lm.score, lm.incremental_scorer(), x
    # A padded batch: utterances of different lengths, with garbage in the padding.
    lengths = torch.tensor(case["frames"])
    feats = torch.randn(case["batch"], int(lengths.max()), FEATS, generator=gen, dtype=case["dtype"]).to(device)
    enc, mask = asr.encode(feats, lengths.to(device))[:2]
    scorer = asr.incremental_scorer(enc, mask)
    if case["kind"] == "asr":
        return (lambda seq: asr.score(seq, enc, mask)), scorer, x
    return (lambda seq: asr.score(seq, enc, mask) + 0.4 * lm.score(seq)), FusedScorer(scorer, lm.incremental_scorer(), 0.4), x


def assert_same(got, expected):
    assert torch.equal(got[0], expected[0])
    torch.testing.assert_close(got[1], expected[1], atol=1e-4, rtol=0)


@settings(max_examples=60, deadline=None, derandomize=True, suppress_health_check=[HealthCheck.too_slow])
@given(cases())
def test_incremental_decoding_matches_full_prefix(case):
    full_fn, scorer, x = build(case)
    tok = Tok(case["eos"])
    full, inc = SequenceGenerator(full_fn, tok, case["max_length"]), SequenceGenerator(scorer, tok, case["max_length"])
    opts = dict(temperature=case["temperature"], repeat_penalty=case["penalty"])
    with torch.inference_mode():
        assert_same(inc.generate_greedy(x, **opts), full.generate_greedy(x, **opts))
        assert_same(inc.generate_beam(x, case["beam"], **opts), full.generate_beam(x, case["beam"], **opts))
        torch.manual_seed(case["seed"])
        expected = full.generate_sample(x, temperature=case["temperature"], top_k=5)
        torch.manual_seed(case["seed"])
        assert_same(inc.generate_sample(x, temperature=case["temperature"], top_k=5), expected)


@pytest.mark.parametrize("kind", ["asr", "lm"])
def test_scorer_follows_any_row_selection(kind):
    """Step by step against score() on the same rows, through selections that reorder, repeat and drop
    rows (leaving the batch-major order the encoder rows are grouped by), with autograd on."""
    asr, lm = MODELS[torch.float32, False]
    gen = torch.Generator().manual_seed(3)
    seqs = torch.randint(1, V, (4, 2), generator=gen)
    if kind == "lm":
        scorer, score = lm.incremental_scorer(), lambda seq, src: lm.score(seq)
    else:
        enc, mask = asr.encode(torch.randn(2, 30, FEATS, generator=gen), torch.tensor([30, 11]))[:2]
        scorer, score = asr.incremental_scorer(enc, mask), lambda seq, src: asr.score(seq, enc[src], mask[src])
    src = torch.tensor([0, 0, 1, 1])
    got = scorer.start(seqs)
    assert not got.requires_grad
    torch.testing.assert_close(got, score(seqs, src), atol=1e-5, rtol=0)
    for rows in ([1, 1, 0, 2], [3, 2, 1, 0], [0, 1, 2, 3], [2, 0, 1], [0, 0, 1, 1, 2, 2], [5, 0, 1, 4, 2, 3]):
        rows = torch.tensor(rows)
        scorer.select(rows)
        seqs, src = seqs[rows], src[rows]
        tokens = torch.randint(1, V, (len(rows),), generator=gen)
        seqs = torch.cat([seqs, tokens[:, None]], 1)
        torch.testing.assert_close(scorer.step(tokens), score(seqs, src), atol=1e-5, rtol=0)


def test_scorer_errors_and_limits():
    asr, lm = MODELS[torch.float32, False]
    scorer = lm.incremental_scorer()
    assert (scorer.max_len, scorer.log_probs, scorer.model) == (40, False, lm)
    with pytest.raises(ValueError, match=r"call start\(x\) first"):
        scorer.step(torch.tensor([1]))
    with pytest.raises(ValueError, match="Sequence length 41 exceeds the maximum length 40"):
        scorer.start(torch.ones(1, 41, dtype=torch.long))
    scorer.start(torch.ones(2, 39, dtype=torch.long))
    scorer.step(torch.tensor([1, 2]))
    with pytest.raises(ValueError, match="Sequence length 41 exceeds the maximum length 40"):
        scorer.step(torch.tensor([1, 2]))
    with pytest.raises(ValueError, match=r"tokens must be \(2,\), one per row, got shape torch.Size\(\[3\]\)"):
        scorer.step(torch.tensor([1, 2, 3]))
    with pytest.raises(TypeError, match="Argument 'tokens' must be of type integer Tensor, got Tensor"):
        scorer.step(torch.tensor([1.0, 2.0]))
    with pytest.raises(ValueError, match="rows holds 2, outside the scorer's 2 rows"):
        scorer.select(torch.tensor([0, 2]))
    with pytest.raises(ValueError, match="rows holds -1"):
        scorer.select(torch.tensor([-1]))
    enc = torch.zeros(2, 5, 16)
    with pytest.raises(ValueError, match="no cross-attention: enc_output must be None"):
        IncrementalScorer(lm, enc).start(torch.ones(2, 1, dtype=torch.long))
    with pytest.raises(ValueError, match="attend to an encoder output: pass enc_output"):
        IncrementalScorer(asr).start(torch.ones(2, 1, dtype=torch.long))
    with pytest.raises(ValueError, match=r"enc_output must be \(batch, frames, d_model\) with d_model 16"):
        asr.incremental_scorer(torch.zeros(2, 5, 8))
    with pytest.raises(ValueError, match=r"src_pad_mask must be \(batch, frames\) = \(2, 5\)"):
        asr.incremental_scorer(enc, torch.zeros(2, 4, dtype=torch.bool))
    with pytest.raises(ValueError, match="start got 3 sequences for an encoder output of batch size 2"):
        asr.incremental_scorer(enc).start(torch.ones(3, 1, dtype=torch.long))


@pytest.mark.skipif(not torch.cuda.is_available(), reason="needs a CUDA device")
@pytest.mark.parametrize("dtype", [torch.float32, torch.float64])
def test_incremental_decoding_on_cuda(dtype):
    case = dict(kind="fusion", dtype=dtype, replaced=False, seed=5, batch=3, prompt=2, frames=[30, 12, 21], max_length=10, eos=3)
    asr, lm = MODELS[dtype, False]
    asr.cuda(), lm.cuda()
    try:
        full_fn, scorer, x = build(case)
        assert x.is_cuda
        tok = Tok(case["eos"])
        full, inc = SequenceGenerator(full_fn, tok, 10), SequenceGenerator(scorer, tok, 10)
        with torch.inference_mode():
            assert_same(inc.generate_beam(x, 4, repeat_penalty=1.3), full.generate_beam(x, 4, repeat_penalty=1.3))
            assert_same(inc.generate_greedy(x), full.generate_greedy(x))
    finally:
        asr.cpu(), lm.cpu()
