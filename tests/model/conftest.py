"""Independent oracles for the model blocks, written with plain tensor operations."""

import copy
import io
import math
from types import SimpleNamespace

import pytest
import torch
import torch.nn.functional as F


@pytest.fixture(autouse=True)
def _seed():
    torch.manual_seed(0)


def randomize(module):
    """Random values for every parameter, so that swapped or skipped norms and biases show."""
    with torch.no_grad():
        for p in module.parameters():
            p.normal_(0.0, 0.5)
    return module.eval()


def reference_attention(query, key_value, mha, key_padding_mask=None, attn_mask=None):
    """Multi-head attention from the module's weights: (output, head-averaged weights)."""
    batch, t, e = query.shape
    heads = mha.num_heads
    d = e // heads
    w, b = mha.in_proj_weight, mha.in_proj_bias
    q = query @ w[:e].T + b[:e]
    k = key_value @ w[e : 2 * e].T + b[e : 2 * e]
    v = key_value @ w[2 * e :].T + b[2 * e :]

    def split(z):
        return z.reshape(batch, z.shape[1], heads, d).transpose(1, 2)

    scores = split(q) @ split(k).transpose(-1, -2) / math.sqrt(d)
    if attn_mask is not None:
        scores = scores.masked_fill(attn_mask, float("-inf"))
    if key_padding_mask is not None:
        scores = scores.masked_fill(key_padding_mask[:, None, None, :], float("-inf"))
    p = scores.softmax(-1)
    out = (p @ split(v)).transpose(1, 2).reshape(batch, t, e)
    return out @ mha.out_proj.weight.T + mha.out_proj.bias, p.mean(1)


def layer_norm(x, norm):
    return F.layer_norm(x, norm.normalized_shape, norm.weight, norm.bias, norm.eps)


def reference_self_attention(x, layer, key_padding_mask=None, attn_mask=None):
    h = layer_norm(x, layer.norm)
    out, weights = reference_attention(h, h, layer.mha, key_padding_mask, attn_mask)
    return x + out, weights


def reference_cross_attention(x, y, layer, key_padding_mask=None):
    out, weights = reference_attention(layer_norm(x, layer.norm), y, layer.mha, key_padding_mask)
    return x + out, weights


def reference_feed_forward(x, layer):
    first, last = layer.ffn[0], layer.ffn[3]
    h = layer_norm(x, layer.norm) @ first.weight.T + first.bias
    h = 0.5 * h * (1.0 + torch.erf(h / math.sqrt(2.0)))  # exact GELU
    return x + h @ last.weight.T + last.bias


def dropout_rates(module):
    """Every dropout rate inside a module: Dropout layers and the attention-weight dropout."""
    rates = []
    for sub in module.modules():
        if isinstance(sub, torch.nn.Dropout):
            rates.append(sub.p)
        elif isinstance(sub, torch.nn.MultiheadAttention):
            rates.append(sub.dropout)
    return rates


def assert_survives_copies(module, *inputs, fresh):
    """state_dict into a fresh instance, deepcopy and a whole-module save/load give the same outputs."""
    module.eval()
    with torch.no_grad():
        expected = module(*inputs)

    other = fresh().eval()
    other.load_state_dict(module.state_dict())
    buffer = io.BytesIO()
    torch.save(module, buffer)
    buffer.seek(0)
    loaded = torch.load(buffer, weights_only=False)
    for copy_ in (other, copy.deepcopy(module), loaded):
        assert type(copy_) is type(module)
        with torch.no_grad():
            got = copy_(*inputs)
        for a, b in zip(torch.utils._pytree.tree_leaves(expected), torch.utils._pytree.tree_leaves(got)):
            torch.testing.assert_close(a, b, rtol=0, atol=0)


@pytest.fixture
def ref():
    """The helpers above, reachable from every test module of this directory."""
    return SimpleNamespace(
        randomize=randomize,
        attention=reference_attention,
        self_attention=reference_self_attention,
        cross_attention=reference_cross_attention,
        feed_forward=reference_feed_forward,
        dropout_rates=dropout_rates,
        survives_copies=assert_survives_copies,
    )
