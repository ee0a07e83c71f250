"""Decoder layers (self-attention, and self- plus cross-attention): sub-layer order, dropout, outputs
against plain tensor operations, causality, required arguments, bad sizes, copies."""

import pytest
import torch

from velkor.model.drumvale import CrossAttentionDecoderLayer, SelfAttentionDecoderLayer
from velkor.model.pellith import CrossAttentionLayer, FeedForwardLayer, SelfAttentionLayer


def causal(t):
    return torch.triu(torch.ones(t, t, dtype=torch.bool), 1)


@pytest.mark.parametrize(
    "cls, children",
    [
        (SelfAttentionDecoderLayer, [("self_attn", SelfAttentionLayer), ("ffn", FeedForwardLayer)]),
        (CrossAttentionDecoderLayer, [("self_attn", SelfAttentionLayer), ("cross_attn", CrossAttentionLayer), ("ffn", FeedForwardLayer)]),
    ],
)
def test_submodules_in_order(cls, children):
    layer = cls(16, 4, 32)
    assert [(n, type(m)) for n, m in layer.named_children()] == children
    names = [n for n, _ in layer.named_parameters()]
    assert names[0] == "self_attn.mha.in_proj_weight" and names[-1] == "ffn.norm.bias"
    assert len(names) == 6 * len(children)


@pytest.mark.parametrize("cls, count", [(SelfAttentionDecoderLayer, 4), (CrossAttentionDecoderLayer, 6)])
def test_dropout_defaults_to_point_one_everywhere(cls, count, ref):
    assert ref.dropout_rates(cls(16, 4, 32)) == [0.1] * count
    assert ref.dropout_rates(cls(16, 4, 32, dropout=0)) == [0.0] * count


def test_self_attention_decoder_matches_primitives_and_is_causal(ref):
    layer = ref.randomize(SelfAttentionDecoderLayer(16, 4, 32))
    x = torch.randn(2, 6, 16)
    mask = torch.zeros(2, 6, dtype=torch.bool)
    mask[1, 5] = True
    out, weights = layer(x, key_padding_mask=mask, attn_mask=causal(6))
    x1, expected_weights = ref.self_attention(x, layer.self_attn, mask, causal(6))
    torch.testing.assert_close(out, ref.feed_forward(x1, layer.ffn), rtol=1e-4, atol=1e-4)
    torch.testing.assert_close(weights, expected_weights, rtol=1e-4, atol=1e-6)
    assert torch.equal(weights, weights.tril())
    assert torch.equal(weights[:, 0], torch.eye(6)[0].expand(2, 6))


def test_cross_attention_decoder_matches_primitives(ref):
    layer = ref.randomize(CrossAttentionDecoderLayer(16, 4, 32))
    x, enc = torch.randn(2, 4, 16), torch.randn(2, 7, 16)
    dec_mask = torch.zeros(2, 4, dtype=torch.bool)
    dec_mask[0, 3] = True
    enc_mask = torch.zeros(2, 7, dtype=torch.bool)
    enc_mask[1, 5:] = True
    out, self_w, cross_w = layer(x, enc, dec_mask, enc_mask, causal(4))
    assert out.shape == (2, 4, 16) and self_w.shape == (2, 4, 4) and cross_w.shape == (2, 4, 7)
    x1, expected_self = ref.self_attention(x, layer.self_attn, dec_mask, causal(4))
    x2, expected_cross = ref.cross_attention(x1, enc, layer.cross_attn, enc_mask)
    torch.testing.assert_close(out, ref.feed_forward(x2, layer.ffn), rtol=1e-4, atol=1e-4)
    torch.testing.assert_close(self_w, expected_self, rtol=1e-4, atol=1e-6)
    torch.testing.assert_close(cross_w, expected_cross, rtol=1e-4, atol=1e-6)
    # The cross-attention never sees the causal mask: every unpadded frame gets weight.
    assert torch.all(cross_w[0] > 0) and torch.all(cross_w[1, :, :5] > 0) and torch.all(cross_w[1, :, 5:] == 0)


def test_dependencies_between_positions():
    layer = CrossAttentionDecoderLayer(16, 4, 32).eval()
    x, enc = torch.randn(1, 5, 16), torch.randn(1, 8, 16)
    out, _, _ = layer(x, enc, attn_mask=causal(5))

    enc_changed = enc.clone()
    enc_changed[0, 3] += 1.0
    out_enc, _, _ = layer(x, enc_changed, attn_mask=causal(5))
    assert torch.all((out_enc - out).abs().amax(-1) > 0)  # every target position

    x_changed = x.clone()
    x_changed[0, 3] += 1.0
    out_x, _, _ = layer(x_changed, enc, attn_mask=causal(5))
    assert torch.equal(out_x[0, :3], out[0, :3]) and not torch.equal(out_x[0, 3:], out[0, 3:])


@pytest.mark.parametrize("cls", [SelfAttentionDecoderLayer, CrossAttentionDecoderLayer])
@pytest.mark.parametrize(
    "args, message",
    [
        ((16.0, 4, 32), "Argument 'd_model' must be of type int, got float"),
        ((16, True, 32), "Argument 'num_heads' must be of type int, got bool"),
        ((16, 4, None), "Argument 'd_ff' must be of type int, got NoneType"),
    ],
)
def test_sizes_must_be_exact_ints(cls, args, message):
    with pytest.raises(TypeError) as info:
        cls(*args)
    assert str(info.value) == message


def test_only_x_and_enc_output_are_required():
    with pytest.raises(TypeError, match="missing 1 required argument: 'enc_output'"):
        CrossAttentionDecoderLayer(8, 2, 16)(torch.randn(1, 2, 8))


@pytest.mark.parametrize(
    "make, inputs",
    [
        (lambda: SelfAttentionDecoderLayer(8, 2, 16), (torch.randn(2, 5, 8), None, causal(5))),
        (lambda: CrossAttentionDecoderLayer(8, 2, 16), (torch.randn(2, 5, 8), torch.randn(2, 3, 8), None, None, causal(5))),
    ],
)
def test_copies_and_serialisation(make, inputs, ref):
    ref.survives_copies(make(), *inputs, fresh=make)
