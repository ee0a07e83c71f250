"""Encoder layer: sub-layer and parameter order, dropout, output against plain tensor operations,
bidirectional attention with padding, refused arguments, bad sizes, copies, hooks of replaced sub-layers."""

import pytest
import torch

from velkor.model.lunmark import SelfAttentionEncoderLayer
from velkor.model.pellith import FeedForwardLayer, SelfAttentionLayer


def test_submodules_and_parameter_order():
    layer = SelfAttentionEncoderLayer(16, 4, 32)
    assert [name for name, _ in layer.named_children()] == ["self_attn", "ffn"]
    assert type(layer.self_attn) is SelfAttentionLayer and type(layer.ffn) is FeedForwardLayer
    assert [n for n, _ in layer.named_parameters()] == [
        "self_attn.mha.in_proj_weight",
        "self_attn.mha.in_proj_bias",
        "self_attn.mha.out_proj.weight",
        "self_attn.mha.out_proj.bias",
        "self_attn.norm.weight",
        "self_attn.norm.bias",
        "ffn.ffn.0.weight",
        "ffn.ffn.0.bias",
        "ffn.ffn.3.weight",
        "ffn.ffn.3.bias",
        "ffn.norm.weight",
        "ffn.norm.bias",
    ]
    assert layer.ffn.ffn[0].out_features == 32 and layer.self_attn.mha.num_heads == 4


@pytest.mark.parametrize("args, rate", [((256, 4, 1024), 0.1), ((16, 4, 32, 0), 0.0), ((16, 4, 32, 0.3), 0.3)])
def test_dropout_reaches_every_sublayer(args, rate, ref):
    assert ref.dropout_rates(SelfAttentionEncoderLayer(*args)) == [rate] * 4


def test_output_matches_primitives(ref):
    layer = ref.randomize(SelfAttentionEncoderLayer(16, 4, 32))
    x = torch.randn(3, 6, 16)
    mask = torch.zeros(3, 6, dtype=torch.bool)
    mask[2, 4:] = True
    out, weights = layer(x, mask)
    x1, expected_weights = ref.self_attention(x, layer.self_attn, mask)
    torch.testing.assert_close(out, ref.feed_forward(x1, layer.ffn), rtol=1e-4, atol=1e-4)
    torch.testing.assert_close(weights, expected_weights, rtol=1e-4, atol=1e-6)


def test_attention_is_bidirectional_and_respects_padding():
    layer = SelfAttentionEncoderLayer(16, 4, 32).eval()
    x = torch.randn(2, 5, 16)
    _, weights = layer(x)
    assert weights.shape == (2, 5, 5) and torch.all(weights > 0)  # future frames are attended too
    mask = torch.zeros(2, 5, dtype=torch.bool)
    mask[1, 2] = True
    _, weights = layer(x, key_padding_mask=mask)
    assert torch.all(weights[1, :, 2] == 0) and torch.all(weights[0] > 0)


def test_attn_mask_is_not_accepted():
    layer = SelfAttentionEncoderLayer(8, 2, 16)
    with pytest.raises(TypeError, match="unexpected keyword argument 'attn_mask'"):
        layer(torch.randn(1, 3, 8), attn_mask=torch.zeros(3, 3, dtype=torch.bool))


@pytest.mark.parametrize(
    "args, message",
    [
        ((16.0, 4, 32), "Argument 'd_model' must be of type int, got float"),
        ((16, None, 32), "Argument 'num_heads' must be of type int, got NoneType"),
        ((16, 4, False), "Argument 'd_ff' must be of type int, got bool"),
    ],
)
def test_sizes_must_be_exact_ints(args, message):
    with pytest.raises(TypeError) as info:
        SelfAttentionEncoderLayer(*args)
    assert str(info.value) == message


def test_copies_and_serialisation(ref):
    mask = torch.tensor([[False] * 5, [False] * 3 + [True] * 2])
    ref.survives_copies(SelfAttentionEncoderLayer(8, 2, 16), torch.randn(2, 5, 8), mask, fresh=lambda: SelfAttentionEncoderLayer(8, 2, 16))


def test_forward_uses_the_current_submodules_and_their_hooks():
    layer = SelfAttentionEncoderLayer(8, 2, 16).eval()
    x = torch.randn(2, 3, 8)
    seen = []
    layer.self_attn.register_forward_hook(lambda module, args, output: seen.append(output[0]))
    layer.ffn = torch.nn.Identity()  # replaced after construction
    out, _ = layer(x)
    assert len(seen) == 1 and torch.equal(out, seen[0])
    del layer.ffn
    with pytest.raises(AttributeError, match="'SelfAttentionEncoderLayer' object has no attribute 'ffn'"):
        layer(x)
