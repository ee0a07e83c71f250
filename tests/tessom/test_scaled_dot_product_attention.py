"""tessom scaled dot-product attention: forward and backward against torch autograd, fully masked
rows, the empty mask, bad inputs and the order of backward's checks."""

import numpy as np
import pytest
import torch

from tessom.nn.scaled_dot_product_attention import ScaledDotProductAttention

N, H, L, S, D, DV = 2, 3, 4, 5, 6, 7


def _inputs(seed=0, scale=1.0):
    rng = np.random.default_rng(seed)
    Q = scale * rng.standard_normal((N, H, L, D))
    K = scale * rng.standard_normal((N, H, S, D))
    V = rng.standard_normal((N, H, S, DV))
    G = rng.standard_normal((N, H, L, DV))
    return Q, K, V, G


def _torch_reference(Q, K, V, G, mask):
    tQ, tK, tV = (torch.tensor(x, requires_grad=True) for x in (Q, K, V))
    scores = tQ @ tK.transpose(-1, -2) / np.sqrt(Q.shape[-1])
    if mask is not None:
        scores = scores.masked_fill(torch.tensor(np.broadcast_to(mask, scores.shape)), float("-inf"))
    out = torch.softmax(scores, dim=-1) @ tV
    out.backward(torch.tensor(G))
    return out.detach().numpy(), tQ.grad.numpy(), tK.grad.numpy(), tV.grad.numpy()


def _random_mask(shape, seed=3):
    mask = np.random.default_rng(seed).random(shape) < 0.4
    mask[..., 0] = False  # every query keeps at least one key
    return mask


@pytest.mark.parametrize(
    "mask",
    [None, _random_mask((N, H, L, S)), np.triu(np.ones((L, S), bool), 1), _random_mask((N, 1, 1, S))],
    ids=["none", "full", "causal-broadcast", "padding-broadcast"],
)
@pytest.mark.parametrize("scale", [1.0, 40.0], ids=["plain", "large-scores"])
def test_matches_autograd(mask, scale):
    Q, K, V, G = _inputs(scale=scale)
    attention = ScaledDotProductAttention()
    out = attention.forward(Q, K, V, mask)
    grads = attention.backward(G)
    expected = _torch_reference(Q, K, V, G, mask)
    assert out.shape == (N, H, L, DV)
    assert [g.shape for g in grads] == [Q.shape, K.shape, V.shape]
    for got, want in zip((out,) + tuple(grads), expected):
        np.testing.assert_allclose(got, want, rtol=1e-10, atol=1e-10)
    if mask is not None:
        assert not np.broadcast_to(mask, attention.attention_weights.shape)[attention.attention_weights > 0].any()


def test_row_with_every_key_masked_gives_zero_output_and_gradients():
    Q, K, V, G = _inputs()
    mask = _random_mask((N, H, L, S))
    mask[1, 2, 3, :] = True  # batch 1, head 2, query 3 sees nothing
    attention = ScaledDotProductAttention()
    out = attention.forward(Q, K, V, mask)
    dQ, dK, dV = attention.backward(G)
    assert np.isfinite(out).all() and all(np.isfinite(g).all() for g in (dQ, dK, dV))
    np.testing.assert_array_equal(out[1, 2, 3], 0.0)
    np.testing.assert_array_equal(attention.attention_weights[1, 2, 3], 0.0)
    np.testing.assert_array_equal(dQ[1, 2, 3], 0.0)
    # The blind query contributes nothing to K and V: the gradients equal those without it.
    G_without = G.copy()
    G_without[1, 2, 3] = 0.0
    _, _, dK_ref, dV_ref = _torch_reference(Q, K, V, G_without, np.where(mask.all(-1, keepdims=True), False, mask))
    np.testing.assert_allclose(dK, dK_ref, rtol=1e-10, atol=1e-12)
    np.testing.assert_allclose(dV, dV_ref, rtol=1e-10, atol=1e-12)
    # Other rows are untouched by the blind one.
    ref_out = _torch_reference(Q, K, V, G, np.where(mask.all(-1, keepdims=True), False, mask))[0]
    ref_out[1, 2, 3] = 0.0
    np.testing.assert_allclose(out, ref_out, rtol=1e-10, atol=1e-12)


def test_all_false_mask_equals_no_mask():
    Q, K, V, _ = _inputs()
    attention = ScaledDotProductAttention()
    np.testing.assert_allclose(attention.forward(Q, K, V, np.zeros((N, H, L, S), bool)), attention.forward(Q, K, V))


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((np.zeros((2, 4, 6)), np.zeros((2, 5, 5)), np.zeros((2, 5, 7))), ValueError, "same last dimension"),
        ((np.zeros((2, 4, 6)), np.zeros((2, 5, 6)), np.zeros((2, 3, 7))), ValueError, "same number of keys"),
        ((np.zeros((2, 4, 6)), np.zeros((3, 5, 6)), np.zeros((3, 5, 7))), ValueError, "same leading dimensions"),
        ((np.zeros(6), np.zeros(6), np.zeros(6)), ValueError, "at least 2"),
        (
            (np.zeros((2, 4, 6)), np.zeros((2, 5, 6)), np.zeros((2, 5, 7)), np.zeros((4, 5), int)),
            TypeError,
            "'mask' must be a boolean array, got dtype int64",
        ),
        (
            (np.zeros((2, 4, 6)), np.zeros((2, 5, 6)), np.zeros((2, 5, 7)), np.zeros((5, 4), bool)),
            ValueError,
            r"mask of shape \(5, 4\) does not broadcast",
        ),
        ((np.zeros((2, 4, 6)), np.zeros((2, 5, 6)), np.zeros((2, 5, 7)), np.zeros((3, 4, 5), bool)), ValueError, "does not broadcast"),
    ],
)
def test_bad_inputs_are_named(args, error, message):
    with pytest.raises(error, match=message):
        ScaledDotProductAttention().forward(*args)


def test_backward_checks_order_and_shape():
    attention = ScaledDotProductAttention()
    with pytest.raises(RuntimeError, match="before forward"):
        attention.backward(np.zeros((2, 4, 7)))
    attention.forward(np.zeros((2, 4, 6)), np.zeros((2, 5, 6)), np.zeros((2, 5, 7)))
    with pytest.raises(ValueError, match=r"\(2, 4, 7\), got \(2, 4, 6\)"):
        attention.backward(np.zeros((2, 4, 6)))
