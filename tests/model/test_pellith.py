"""Pre-LN residual sub-layers (self-attention, cross-attention, feed-forward): parameters, the shared
dropout, outputs against plain tensor operations, padding, bad arguments, copies."""

import pytest
import torch

from velkor.model.pellith import CrossAttentionLayer, FeedForwardLayer, SelfAttentionLayer


def test_parameter_names_and_shapes():
    ffn = FeedForwardLayer(8, 32)
    assert [(n, tuple(p.shape)) for n, p in ffn.named_parameters()] == [
        ("ffn.0.weight", (32, 8)),
        ("ffn.0.bias", (32,)),
        ("ffn.3.weight", (8, 32)),
        ("ffn.3.bias", (8,)),
        ("norm.weight", (8,)),
        ("norm.bias", (8,)),
    ]
    for cls in (SelfAttentionLayer, CrossAttentionLayer):
        assert [(n, tuple(p.shape)) for n, p in cls(8, 2).named_parameters()] == [
            ("mha.in_proj_weight", (24, 8)),
            ("mha.in_proj_bias", (24,)),
            ("mha.out_proj.weight", (8, 8)),
            ("mha.out_proj.bias", (8,)),
            ("norm.weight", (8,)),
            ("norm.bias", (8,)),
        ]
        assert cls(8, 2).mha.batch_first


@pytest.mark.parametrize("make", [lambda: SelfAttentionLayer(8, 2), lambda: CrossAttentionLayer(8, 2), lambda: FeedForwardLayer(8, 16)])
def test_dropout_defaults_to_zero(make, ref):
    rates = ref.dropout_rates(make())
    assert len(rates) == 2 and set(rates) == {0.0}


def test_dropout_is_shared_and_converted_to_float(ref):
    assert ref.dropout_rates(FeedForwardLayer(8, 16, 0.25)) == [0.25, 0.25]
    layer = SelfAttentionLayer(8, 2, 0)
    assert ref.dropout_rates(layer) == [0.0, 0.0] and isinstance(layer.mha.dropout, float)


def test_self_attention_matches_primitives(ref):
    layer = ref.randomize(SelfAttentionLayer(8, 2))
    x = torch.randn(3, 5, 8)
    mask = torch.zeros(3, 5, dtype=torch.bool)
    mask[1, 3:] = True
    causal = torch.triu(torch.ones(5, 5, dtype=torch.bool), 1)
    for kpm, am in [(None, None), (mask, None), (None, causal), (mask, causal)]:
        out, weights = layer(x, key_padding_mask=kpm, attn_mask=am)
        expected, expected_weights = ref.self_attention(x, layer, kpm, am)
        torch.testing.assert_close(out, expected, rtol=1e-4, atol=1e-5)
        torch.testing.assert_close(weights, expected_weights, rtol=1e-4, atol=1e-6)


def test_padding_column_gets_zero_weight():
    layer = SelfAttentionLayer(8, 2).eval()
    mask = torch.zeros(2, 6, dtype=torch.bool)
    mask[:, -1] = True
    _, weights = layer(torch.randn(2, 6, 8), key_padding_mask=mask)
    assert torch.all(weights[:, :, -1] == 0)
    torch.testing.assert_close(weights.sum(-1), torch.ones(2, 6))


def test_cross_attention_matches_primitives_and_keeps_query_shape(ref):
    layer = ref.randomize(CrossAttentionLayer(8, 4))
    x, y = torch.randn(2, 3, 8), torch.randn(2, 7, 8)
    mask = torch.zeros(2, 7, dtype=torch.bool)
    mask[0, 5:] = True
    out, weights = layer(x, y, key_padding_mask=mask)
    assert out.shape == (2, 3, 8) and weights.shape == (2, 3, 7)
    expected, expected_weights = ref.cross_attention(x, y, layer, mask)
    torch.testing.assert_close(out, expected, rtol=1e-4, atol=1e-5)
    torch.testing.assert_close(weights, expected_weights, rtol=1e-4, atol=1e-6)
    assert torch.all(weights[0, :, 5:] == 0)


def test_feed_forward_matches_primitives(ref):
    layer = ref.randomize(FeedForwardLayer(8, 32))
    x = torch.randn(2, 4, 8)
    torch.testing.assert_close(layer(x), ref.feed_forward(x, layer), rtol=1e-4, atol=1e-5)


def test_dropout_acts_in_train_mode_only():
    layer = FeedForwardLayer(8, 32, 0.5)
    x = torch.randn(4, 16, 8)
    assert not torch.equal(layer.train()(x), layer.train()(x))
    assert torch.equal(layer.eval()(x), layer.eval()(x))


@pytest.mark.parametrize(
    "cls, args, message",
    [
        (SelfAttentionLayer, (512.0, 8), "Argument 'd_model' must be of type int, got float"),
        (SelfAttentionLayer, (8, True), "Argument 'num_heads' must be of type int, got bool"),
        (CrossAttentionLayer, (None, 2), "Argument 'd_model' must be of type int, got NoneType"),
        (FeedForwardLayer, (8, "32"), "Argument 'd_ff' must be of type int, got str"),
    ],
)
def test_sizes_must_be_exact_ints(cls, args, message):
    with pytest.raises(TypeError) as info:
        cls(*args)
    assert str(info.value) == message


@pytest.mark.parametrize("cls", [SelfAttentionLayer, CrossAttentionLayer, FeedForwardLayer])
def test_bad_dropout_and_argument_count(cls):
    with pytest.raises(TypeError):
        cls(8, 2, None)
    with pytest.raises(TypeError):
        cls(8)


@pytest.mark.parametrize(
    "make, inputs",
    [
        (lambda: SelfAttentionLayer(8, 2, 0.1), (torch.randn(2, 5, 8),)),
        (lambda: CrossAttentionLayer(8, 2, 0.1), (torch.randn(2, 5, 8), torch.randn(2, 3, 8))),
        (lambda: FeedForwardLayer(8, 16, 0.1), (torch.randn(2, 5, 8),)),
    ],
)
def test_copies_and_serialisation(make, inputs, ref):
    ref.survives_copies(make(), *inputs, fresh=make)


def _layer_cases():
    from velkor.model.drumvale import CrossAttentionDecoderLayer, SelfAttentionDecoderLayer
    from velkor.model.lunmark import SelfAttentionEncoderLayer

    x, y = torch.randn(2, 7, 8), torch.randn(2, 5, 8)
    pad_x, pad_y = torch.tensor([[False] * 7, [False] * 4 + [True] * 3]), torch.tensor([[False] * 5, [False] * 2 + [True] * 3])
    causal = torch.ones(7, 7, dtype=torch.bool).triu(1)
    additive = torch.zeros(7, 7).masked_fill(causal, float("-inf"))
    return [
        (SelfAttentionLayer(8, 2), (x,), dict(key_padding_mask=pad_x, attn_mask=causal)),
        (SelfAttentionLayer(8, 2), (x,), dict(attn_mask=additive)),
        (CrossAttentionLayer(8, 2), (x, y), dict(key_padding_mask=pad_y)),
        (SelfAttentionEncoderLayer(8, 2, 16), (x,), dict(key_padding_mask=pad_x)),
        (SelfAttentionDecoderLayer(8, 2, 16), (x,), dict(key_padding_mask=pad_x, attn_mask=causal)),
        (CrossAttentionDecoderLayer(8, 2, 16), (x, y), dict(dec_key_padding_mask=pad_x, enc_key_padding_mask=pad_y, attn_mask=causal)),
    ]


@pytest.mark.parametrize("case", range(6))
def test_without_weights_the_fused_attention_gives_the_same_output(case, ref):
    layer, args, masks = _layer_cases()[case]
    layer = ref.randomize(layer)
    explicit = layer(*args, **masks)
    fused = layer(*args, **masks, need_weights=False)
    torch.testing.assert_close(fused[0], explicit[0], atol=1e-5, rtol=1e-4)
    assert all(w is None for w in fused[1:]) and all(w is not None for w in explicit[1:])
