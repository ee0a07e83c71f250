"""Assembled models: output shapes and CTC inputs per time reduction, padding and causal masks,
scoring, the shared dropout, weight tying, copies, bad arguments, and both models learning."""

import copy
import io

import pytest
import torch
import torchinfo
from torch import nn

from velkor.model import DecoderOnlyTransformer, EncoderDecoderTransformer
from velkor.model.sollund import SpeechEmbedding

import tiny

V = 23
FEATS = 12
# Two layers of four heads, so that layer order and head splitting show; the models' own dropout.
ASR_SIZES = dict(
    d_model=32,
    num_encoder_layers=2,
    num_decoder_layers=2,
    num_encoder_heads=4,
    num_decoder_heads=4,
    d_ff_encoder=64,
    d_ff_decoder=64,
    dropout=0.1,
    max_len=200,
)
LM_SIZES = dict(d_model=32, num_layers=2, num_heads=4, d_ff=64, dropout=0.1, max_len=64)

pytestmark = pytest.mark.usefixtures("single_thread")


def make_asr(reduction_method="conv", time_reduction=2, **kwargs):
    return tiny.asr_model(FEATS, V, **{**ASR_SIZES, "time_reduction": time_reduction, "reduction_method": reduction_method, **kwargs})


def make_lm(**kwargs):
    return tiny.lm_model(V, **{**LM_SIZES, **kwargs})


def tokens(*shape):
    return torch.randint(4, V, shape)


METHODS = [("conv", 4), ("lstm", 3), ("both", 6), ("stack", 4), ("conv2d", 4)]


@pytest.mark.parametrize("method, reduction", METHODS)
def test_asr_outputs_and_ctc_inputs(method, reduction):
    model = make_asr(method, reduction)
    feats, lengths = torch.randn(3, 61, FEATS), torch.tensor([61, 40, 17])
    logits, attention, ctc = model(feats, tokens(3, 7), lengths, torch.tensor([7, 5, 2]))
    assert logits.shape == (3, 7, V)
    assert list(attention) == [
        "layer1_enc_self",
        "layer2_enc_self",
        "layer1_dec_self",
        "layer1_dec_cross",
        "layer2_dec_self",
        "layer2_dec_cross",
    ]
    log_probs = ctc["log_probs"]
    frames = log_probs.shape[0]
    assert log_probs.shape == (frames, 3, V)
    torch.testing.assert_close(log_probs.exp().sum(-1), torch.ones(frames, 3))
    expected = SpeechEmbedding(FEATS, 32, time_reduction=reduction, reduction_method=method).calculate_downsampled_length(lengths)
    assert ctc["lengths"].tolist() == expected.tolist()
    assert ctc["lengths"][0] == frames  # the full-length row fills every frame
    assert attention["layer1_dec_cross"].shape == (3, 7, frames)
    # The trainer's CTC loss takes these as they are.
    loss = nn.CTCLoss(blank=0, zero_infinity=True)(log_probs, tokens(3, 2), ctc["lengths"], torch.tensor([2, 2, 1]))
    assert torch.isfinite(loss)


@pytest.mark.parametrize("method, reduction", METHODS)
def test_asr_padding_never_reaches_real_positions(method, reduction):
    model = make_asr(method, reduction)
    feats, targets = torch.randn(1, 29, FEATS), tokens(1, 5)
    alone_logits, _, alone_ctc = model(feats, targets, torch.tensor([29]), torch.tensor([5]))
    # The same utterance padded with garbage frames and tokens, next to a longer one.
    padded_feats = torch.cat([feats, 100 * torch.randn(1, 20, FEATS)], 1)
    batch_feats = torch.cat([padded_feats, torch.randn(1, 49, FEATS)])
    batch_targets = torch.cat([torch.cat([targets, tokens(1, 4)], 1), tokens(1, 9)])
    logits, _, ctc = model(batch_feats, batch_targets, torch.tensor([29, 49]), torch.tensor([5, 9]))
    torch.testing.assert_close(logits[0, :5], alone_logits[0], atol=1e-5, rtol=1e-4)
    real = int(ctc["lengths"][0])
    assert real == alone_ctc["lengths"][0]
    torch.testing.assert_close(ctc["log_probs"][:real, 0], alone_ctc["log_probs"][:real, 0], atol=1e-5, rtol=1e-4)


def test_lm_padding_and_causality():
    model = make_lm()
    x = tokens(2, 9)
    logits, attention = model(x, target_lengths=torch.tensor([9, 4]))
    alone, _ = model(x[1:, :4], target_lengths=torch.tensor([4]))
    torch.testing.assert_close(logits[1, :4], alone[0], atol=1e-5, rtol=1e-4)
    assert list(attention) == ["layer1_dec_self", "layer2_dec_self"]
    assert torch.all(attention["layer1_dec_self"][0].triu(1) == 0)

    changed = x.clone()
    changed[:, 6] = (changed[:, 6] - 3) % (V - 4) + 4
    after, _ = model(changed)
    before, _ = model(x)
    torch.testing.assert_close(after[:, :6], before[:, :6])
    assert not torch.allclose(after[:, 6:], before[:, 6:])


def test_asr_decoder_is_causal():
    model = make_asr()
    feats, lengths = torch.randn(2, 30, FEATS), torch.tensor([30, 30])
    x = tokens(2, 8)
    changed = x.clone()
    changed[:, 5] = (changed[:, 5] - 3) % (V - 4) + 4
    before = model(feats, x, lengths)[0]
    after = model(feats, changed, lengths)[0]
    torch.testing.assert_close(after[:, :5], before[:, :5])
    assert not torch.allclose(after[:, 5:], before[:, 5:])


@pytest.mark.parametrize("prefix", [1, 4, 8])
def test_score_matches_forward_at_the_prefix_end(prefix):
    lm = make_lm()
    x = tokens(3, 8)
    torch.testing.assert_close(lm.score(x[:, :prefix]), lm(x)[0][:, prefix - 1], atol=1e-5, rtol=1e-4)

    asr = make_asr()
    feats, lengths = torch.randn(3, 40, FEATS), torch.tensor([40, 33, 21])
    enc_output, mask, *_ = asr.encode(feats, lengths)
    full = asr(feats, x, lengths, torch.tensor([8, 8, 8]))[0]
    torch.testing.assert_close(asr.score(x[:, :prefix], enc_output, mask), full[:, prefix - 1], atol=1e-5, rtol=1e-4)
    # Beam search hands B*K rows, batch-major, against the B encoder rows.
    beams = x[:, :prefix].repeat_interleave(4, dim=0)
    expanded = asr.score(beams, enc_output, mask)
    torch.testing.assert_close(expanded, full[:, prefix - 1].repeat_interleave(4, dim=0), atol=1e-5, rtol=1e-4)


def test_score_rejects_rows_that_do_not_match_the_batch():
    asr = make_asr()
    enc_output, mask, *_ = asr.encode(torch.randn(2, 30, FEATS), torch.tensor([30, 20]))
    with pytest.raises(ValueError, match="score got 3 sequences for an encoder output of batch size 2"):
        asr.score(tokens(3, 2), enc_output, mask)


def test_encode_returns_output_mask_and_extras():
    asr = make_asr("lstm", 3)
    lengths = torch.tensor([30, 13])
    enc_output, mask, attention, ctc = asr.encode(torch.randn(2, 30, FEATS), lengths)
    assert enc_output.shape == (2, 10, 32)
    assert mask.dtype == torch.bool and mask.sum(1).tolist() == [0, 6]
    assert list(attention) == ["layer1_enc_self", "layer2_enc_self"]
    assert ctc["lengths"].tolist() == [10, 4]


@pytest.mark.parametrize("which", ["enc_layers", "dec_layers"])
def test_layer_lists_can_be_replaced_by_sub_lists(which):
    model = make_asr()
    feats, x, lengths = torch.randn(2, 30, FEATS), tokens(2, 6), torch.tensor([30, 22])
    before = model(feats, x, lengths)[0]
    full_state = len(model.state_dict())
    setattr(model, which, nn.ModuleList([getattr(model, which)[1]]))
    logits, attention, _ = model(feats, x, lengths)
    assert len(model.state_dict()) < full_state
    assert logits.shape == before.shape and not torch.allclose(logits, before)
    kind = "enc_self" if which == "enc_layers" else "dec_self"
    assert [k for k in attention if kind in k] == [f"layer1_{kind}"]
    enc_output, mask, *_ = model.encode(feats, lengths)
    torch.testing.assert_close(model.score(x, enc_output, mask), logits[:, -1], atol=1e-5, rtol=1e-4)

    lm = make_lm()
    lm.dec_layers = nn.ModuleList([lm.dec_layers[0]])
    assert list(lm(x)[1]) == ["layer1_dec_self"]


@pytest.mark.parametrize("make", [make_lm, make_asr])
def test_shared_dropout_rate_governs_every_dropout(make):
    model = make(dropout=0.3).train()
    inputs = (
        (tokens(2, 6),) if isinstance(model, DecoderOnlyTransformer) else (torch.randn(2, 30, FEATS), tokens(2, 6), torch.tensor([30, 25]))
    )
    dropouts = [m for m in model.modules() if isinstance(m, nn.Dropout)]
    assert dropouts and all(m is model.dropout for m in dropouts)
    model.dropout.p = 0.0
    trained = model(*inputs)[0]
    assert all(mha.dropout == 0.0 for mha in model.modules() if isinstance(mha, nn.MultiheadAttention))
    torch.testing.assert_close(trained, model.eval()(*inputs)[0])


@pytest.mark.parametrize("make", [make_lm, make_asr])
def test_weight_tying_and_save_load_round_trip(make):
    model = make(weight_tying=True)
    untied = make()
    assert model.final_linear.weight is model.target_embedding.weight
    assert sum(p.numel() for p in model.parameters()) == sum(p.numel() for p in untied.parameters()) - V * 32
    inputs = (
        (tokens(2, 6),) if isinstance(model, DecoderOnlyTransformer) else (torch.randn(2, 30, FEATS), tokens(2, 6), torch.tensor([30, 25]))
    )
    expected = model(*inputs)[0]

    fresh = make(weight_tying=True)
    torch.manual_seed(1)
    for p in fresh.parameters():
        nn.init.normal_(p)
    fresh.load_state_dict(model.state_dict())
    torch.testing.assert_close(fresh(*inputs)[0], expected)

    buffer = io.BytesIO()
    torch.save(model, buffer)
    buffer.seek(0)
    restored = torch.load(buffer, weights_only=False)
    torch.testing.assert_close(restored(*inputs)[0], expected)
    torch.testing.assert_close(copy.deepcopy(model)(*inputs)[0], expected)


def test_empty_targets_do_not_produce_nan():
    asr = make_asr().train()
    logits, _, _ = asr(torch.randn(2, 30, FEATS), tokens(2, 5), torch.tensor([30, 0]), torch.tensor([5, 0]))
    assert torch.isfinite(logits).all()


def test_architecture_summaries_run():
    lm = make_lm()
    torchinfo.summary(lm, input_size=[(2, lm.max_len), (2,)], dtypes=[torch.long, torch.long], verbose=0)
    asr = make_asr("lstm", 6, max_len=200)
    data = [torch.randn(2, 1000, FEATS), torch.randint(0, V, (2, 100)), torch.randint(500, 1000, (2,)), torch.randint(50, 100, (2,))]
    torchinfo.summary(asr, input_data=data, dtypes=[torch.float, torch.long, torch.long, torch.long], verbose=0)


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"d_model": 30}, ValueError, r"d_model \(30\) must be divisible by num_encoder_heads \(4\)"),
        ({"num_decoder_layers": 0}, ValueError, "num_decoder_layers must be positive, got 0"),
        ({"dropout": 1.0}, ValueError, "Dropout rate must be between 0 and 1"),
        ({"max_len": True}, TypeError, "Argument 'max_len' must be of type int, got bool"),
        ({"reduction_method": "pool"}, ValueError, "reduction_method must be 'conv', 'lstm', 'both', 'stack', or 'conv2d'"),
    ],
)
def test_constructor_rejects_bad_arguments(kwargs, error, message):
    with pytest.raises(error, match=message):
        make_asr(**kwargs)


def test_models_learn_together():
    lm = make_lm(dropout=0.0, max_len=16).train()
    seqs = tokens(4, 12)
    optimizer = torch.optim.Adam(lm.parameters(), lr=3e-3)
    losses = []
    for _ in range(150):
        logits, _ = lm(seqs[:, :-1], target_lengths=torch.full((4,), 11))
        loss = nn.functional.cross_entropy(logits.reshape(-1, V), seqs[:, 1:].reshape(-1))
        optimizer.zero_grad()
        loss.backward()
        optimizer.step()
        losses.append(loss.item())
    assert losses[-1] < losses[0] / 10

    asr = make_asr("conv", 2, dropout=0.0).train()
    feats, lengths = torch.randn(3, 24, FEATS), torch.tensor([24, 20, 16])
    golden = tokens(3, 5)
    shifted = torch.cat([torch.ones(3, 1, dtype=torch.long), golden[:, :-1]], 1)
    optimizer = torch.optim.Adam(asr.parameters(), lr=3e-3)
    ctc_loss, losses = nn.CTCLoss(blank=0, zero_infinity=True), []
    for _ in range(150):
        logits, _, ctc = asr(feats, shifted, lengths, torch.full((3,), 5))
        ce = nn.functional.cross_entropy(logits.reshape(-1, V), golden.reshape(-1))
        loss = ce + 0.3 * ctc_loss(ctc["log_probs"], golden, ctc["lengths"], torch.full((3,), 5))
        optimizer.zero_grad()
        loss.backward()
        optimizer.step()
        losses.append(loss.item())
    assert losses[-1] < losses[0] / 10


def test_default_time_reduction_leaves_ctc_four_frames_per_target():
    model = EncoderDecoderTransformer(
        FEATS,
        V,
        d_model=16,
        num_encoder_layers=1,
        num_decoder_layers=1,
        num_encoder_heads=2,
        num_decoder_heads=2,
        d_ff_encoder=16,
        d_ff_decoder=16,
    )
    lengths = torch.tensor([400, 123])
    expected = SpeechEmbedding(FEATS, 16, time_reduction=4, reduction_method="lstm").calculate_downsampled_length(lengths)
    assert model.source_embedding.calculate_downsampled_length(lengths).tolist() == expected.tolist()
    assert expected[0] == 100


def _grads(model):
    return [p.grad.clone() for p in model.parameters() if p.grad is not None]


@pytest.mark.parametrize("kind", ["asr", "lm"])
def test_fused_attention_gives_the_explicit_results(kind):
    """need_weights=False (fused attention, no maps) against the explicit path: the same outputs and
    gradients, with padding masks on both sides and the causal decoder mask."""
    torch.manual_seed(1)
    model = make_asr("conv", 2, dropout=0.0) if kind == "asr" else make_lm(dropout=0.0)
    model.train()
    if kind == "asr":
        inputs = (torch.randn(3, 41, FEATS), tokens(3, 9), torch.tensor([41, 26, 9]), torch.tensor([9, 4, 1]))
    else:
        inputs = (tokens(3, 11), torch.tensor([11, 6, 1]))

    def run(need_weights):
        model.zero_grad()
        out = model(*inputs, need_weights=need_weights) if kind == "asr" else model(inputs[0], inputs[1], need_weights=need_weights)
        loss = out[0].square().mean() + (out[2]["log_probs"].exp().square().mean() if kind == "asr" else 0)
        loss.backward()
        return out, _grads(model)

    (explicit, explicit_grads), (fused, fused_grads) = run(True), run(False)
    torch.testing.assert_close(fused[0], explicit[0], atol=1e-5, rtol=1e-4)
    assert fused[1] == {} and len(explicit[1]) > 0
    if kind == "asr":
        torch.testing.assert_close(fused[2]["log_probs"], explicit[2]["log_probs"], atol=1e-5, rtol=1e-4)
        assert torch.equal(fused[2]["lengths"], explicit[2]["lengths"])
        enc, mask, attention, ctc = model.encode(inputs[0], inputs[2], need_weights=False)
        assert attention == {}
        torch.testing.assert_close(enc, model.encode(inputs[0], inputs[2])[0], atol=1e-5, rtol=1e-4)
    assert len(fused_grads) == len(explicit_grads)
    for a, b in zip(fused_grads, explicit_grads):
        torch.testing.assert_close(a, b, atol=1e-5, rtol=1e-4)
    # The default keeps returning the maps.
    assert list(model(*inputs)[1])[0] in ("layer1_enc_self", "layer1_dec_self")


@pytest.mark.parametrize("method", ["conv", "lstm", "both", "stack", "conv2d"])
def test_every_front_end_trains_end_to_end(method):
    model = make_asr(method, 4).train()
    feats, lengths = torch.randn(3, 57, FEATS), torch.tensor([57, 31, 18])
    targets = tokens(3, 6)
    logits, _, ctc = model(feats, targets, lengths, torch.tensor([6, 4, 2]), need_weights=False)
    loss = nn.functional.cross_entropy(logits.reshape(-1, V), targets.reshape(-1))
    loss = loss + nn.CTCLoss(blank=0, zero_infinity=True)(ctc["log_probs"], targets[:, :2], ctc["lengths"], torch.tensor([2, 2, 1]))
    loss.backward()
    front = [p for n, p in model.named_parameters() if n.startswith("source_embedding.")]
    assert front and all(p.grad is not None and torch.isfinite(p.grad).all() and p.grad.abs().sum() > 0 for p in front)
    assert ctc["lengths"].tolist() == model.source_embedding.calculate_downsampled_length(lengths).tolist()
