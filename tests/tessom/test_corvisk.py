"""tessom multi-head attention on numpy arrays: forward and every gradient against torch autograd
and central differences, masks, head splitting, construction and input errors."""

import numpy as np
import pytest
import torch

from tessom.nn.corvisk import MultiHeadAttention

E, H = 8, 2


def _pair(embed_dim=E, num_heads=H, seed=0):
    """Our layer and torch's, holding the same float64 weights."""
    torch.manual_seed(seed)
    reference = torch.nn.MultiheadAttention(embed_dim, num_heads, batch_first=True, dtype=torch.float64)
    with torch.no_grad():
        reference.in_proj_bias.normal_()
        reference.out_proj.bias.normal_()
    W = reference.in_proj_weight.detach().numpy()
    b = reference.in_proj_bias.detach().numpy()
    e = embed_dim
    ours = MultiHeadAttention(embed_dim, num_heads)
    ours.init_weights(
        W[:e],
        b[:e],
        W[e : 2 * e],
        b[e : 2 * e],
        W[2 * e :],
        b[2 * e :],
        reference.out_proj.weight.detach().numpy(),
        reference.out_proj.bias.detach().numpy(),
    )
    return ours, reference


def _arrays(N, L, S, seed=1):
    rng = np.random.default_rng(seed)
    return (rng.standard_normal((N, L, E)), rng.standard_normal((N, S, E)), rng.standard_normal((N, S, E)), rng.standard_normal((N, L, E)))


def _padding(N, S):
    mask = np.zeros((N, S), bool)
    mask[0, -2:] = True
    mask[-1, 1] = True
    return mask


MASKS = {
    "none": lambda N, L, S: (None, None),
    "padding": lambda N, L, S: (_padding(N, S), None),
    "attn": lambda N, L, S: (None, np.triu(np.ones((L, S), bool), 1)),
    "both": lambda N, L, S: (_padding(N, S), np.triu(np.ones((L, S), bool), 2)),
}


@pytest.mark.parametrize("masks", MASKS, ids=list(MASKS))
@pytest.mark.parametrize("N, L, S", [(3, 4, 6), (2, 5, 3)])
def test_forward_and_every_gradient_match_autograd(masks, N, L, S):
    ours, reference = _pair()
    query, key, value, G = _arrays(N, L, S)
    key_padding_mask, attn_mask = MASKS[masks](N, L, S)

    out = ours.forward(query, key, value, key_padding_mask, attn_mask)
    d_q, d_k, d_v = ours.backward(G)

    tq, tk, tv = (torch.tensor(x, requires_grad=True) for x in (query, key, value))
    t_out, _ = reference(
        tq,
        tk,
        tv,
        need_weights=False,
        key_padding_mask=None if key_padding_mask is None else torch.tensor(key_padding_mask),
        attn_mask=None if attn_mask is None else torch.tensor(attn_mask),
    )
    t_out.backward(torch.tensor(G))

    close = dict(rtol=1e-10, atol=1e-12)
    assert out.shape == (N, L, E) and d_q.shape == (N, L, E) and d_k.shape == d_v.shape == (N, S, E)
    np.testing.assert_allclose(out, t_out.detach().numpy(), **close)
    for got, want in zip((d_q, d_k, d_v), (tq, tk, tv)):
        np.testing.assert_allclose(got, want.grad.numpy(), **close)
    W_grad, b_grad = reference.in_proj_weight.grad.numpy(), reference.in_proj_bias.grad.numpy()
    for i, proj in enumerate((ours.q_proj, ours.k_proj, ours.v_proj)):
        np.testing.assert_allclose(proj.dLdW, W_grad[i * E : (i + 1) * E], **close)
        np.testing.assert_allclose(proj.dLdb, b_grad[i * E : (i + 1) * E], **close)
    np.testing.assert_allclose(ours.out_proj.dLdW, reference.out_proj.weight.grad.numpy(), **close)
    np.testing.assert_allclose(ours.out_proj.dLdb, reference.out_proj.bias.grad.numpy(), **close)


def test_gradients_match_central_differences():
    ours, _ = _pair(embed_dim=4, num_heads=2)
    rng = np.random.default_rng(5)
    query, key, value = rng.standard_normal((1, 2, 4)), rng.standard_normal((1, 3, 4)), rng.standard_normal((1, 3, 4))
    G = rng.standard_normal((1, 2, 4))
    masks = (np.array([[False, False, True]]), np.array([[False, True, False], [False, False, False]]))
    ours.forward(query, key, value, *masks)
    analytic = ours.backward(G) + (ours.k_proj.dLdW.copy(), ours.out_proj.dLdb.copy())

    def loss():
        return float(np.sum(ours.forward(query, key, value, *masks) * G))

    h = 1e-6
    for array, grad in zip((query, key, value, ours.k_proj.W, ours.out_proj.b), analytic):
        numeric = np.zeros_like(array)
        for index in np.ndindex(array.shape):
            saved = array[index]
            array[index] = saved + h
            up = loss()
            array[index] = saved - h
            down = loss()
            array[index] = saved
            numeric[index] = (up - down) / (2 * h)
        np.testing.assert_allclose(grad, numeric, rtol=1e-6, atol=1e-8)


def test_self_attention_gradient_is_the_sum_of_the_three():
    ours, reference = _pair()
    x, _, _, G = _arrays(2, 5, 5)
    ours.forward(x, x, x)
    d_q, d_k, d_v = ours.backward(G)
    tx = torch.tensor(x, requires_grad=True)
    reference(tx, tx, tx, need_weights=False)[0].backward(torch.tensor(G))
    np.testing.assert_allclose(d_q + d_k + d_v, tx.grad.numpy(), rtol=1e-10, atol=1e-12)


def test_backward_follows_the_latest_forward():
    ours, fresh = _pair()[0], _pair()[0]
    first, second = _arrays(2, 3, 4, seed=1), _arrays(2, 5, 6, seed=2)
    ours.forward(*first[:3])
    ours.forward(*second[:3])
    fresh.forward(*second[:3])
    for got, want in zip(ours.backward(second[3]), fresh.backward(second[3])):
        np.testing.assert_array_equal(got, want)
    assert (ours.N, ours.L, ours.S, ours.E) == (2, 5, 6, E)


def test_query_with_every_key_masked_gets_only_the_output_bias():
    ours, _ = _pair()
    query, key, value, G = _arrays(2, 3, 4)
    key_padding_mask = np.zeros((2, 4), bool)
    key_padding_mask[1] = True
    out = ours.forward(query, key, value, key_padding_mask)
    d_q, d_k, d_v = ours.backward(G)
    np.testing.assert_allclose(out[1], np.broadcast_to(ours.out_proj.b, (3, E)))
    for grad in (d_q, d_k, d_v):
        assert np.isfinite(grad).all()
        np.testing.assert_array_equal(grad[1], 0.0)


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((8, 3), ValueError, "^embed_dim must be divisible by num_heads$"),
        ((8, 0), ValueError, "must be positive"),
        ((-4, 2), ValueError, "must be positive"),
        ((8.0, 2), TypeError, "Argument 'embed_dim' must be of type int, got float"),
        ((8, True), TypeError, "Argument 'num_heads' must be of type int, got bool"),
    ],
)
def test_construction_errors(args, error, message):
    with pytest.raises(error, match=message):
        MultiHeadAttention(*args)


def test_construction_builds_the_parts_in_order():
    mha = MultiHeadAttention(8, 2)
    assert list(vars(mha)) == ["embed_dim", "num_heads", "attention", "q_proj", "k_proj", "v_proj", "out_proj"]
    assert type(mha.attention).__name__ == "ScaledDotProductAttention"
    assert all(p.W.shape == (8, 8) for p in (mha.q_proj, mha.k_proj, mha.v_proj, mha.out_proj))
    mha.forward(*_arrays(3, 4, 6)[:3])
    assert mha._split_heads(np.zeros((3, 5, 8))).shape == (3, 2, 5, 4)


@pytest.mark.parametrize("T", [1, 4, 7])
def test_split_and_concat_heads_round_trip(T):
    mha = MultiHeadAttention(E, H)
    mha.forward(*_arrays(3, 4, 6)[:3])
    x = np.random.default_rng(T).standard_normal((3, T, E))
    heads = mha._split_heads(x)
    np.testing.assert_array_equal(heads[:, 1], x[:, :, E // H :])  # head h holds columns h*d:(h+1)*d
    np.testing.assert_array_equal(mha._concat_heads(heads), x)


def test_merge_masks():
    mha = MultiHeadAttention(E, H)
    N, L, S = 2, 4, 4
    mha.forward(*_arrays(N, L, S)[:3])
    padding = np.zeros((N, S), bool)
    padding[1, 2] = True
    causal = np.triu(np.ones((L, S), bool), 1)

    merged = mha._merge_masks(padding, np.zeros((L, S), bool))
    assert merged.shape == (N, H, L, S) and merged.dtype == bool
    assert not merged[0].any() and merged[1, :, :, 2].all() and merged[1].sum() == H * L

    merged = mha._merge_masks(np.zeros((N, S), bool), causal)
    assert (merged == causal).all()
    np.testing.assert_array_equal(mha._merge_masks(padding, causal), merged | padding[:, None, None, :])
    # An absent mask masks nothing.
    np.testing.assert_array_equal(mha._merge_masks(None, causal), merged)
    np.testing.assert_array_equal(mha._merge_masks(padding, None), mha._merge_masks(padding, np.zeros((L, S), bool)))
    assert mha._merge_masks(None, None).shape == (N, H, L, S) and not mha._merge_masks(None, None).any()


@pytest.mark.parametrize(
    "masks, error, message",
    [
        ((np.zeros((2, 3), bool), None), ValueError, r"key_padding_mask must have shape \(N, S\) = \(2, 4\), got \(2, 3\)"),
        ((None, np.zeros((4, 3), bool)), ValueError, r"attn_mask must have shape \(L, S\) = \(3, 4\), got \(4, 3\)"),
        ((np.zeros((2, 4)), None), TypeError, "'key_padding_mask' must be a boolean array, got dtype float64"),
    ],
)
def test_mask_errors(masks, error, message):
    mha = MultiHeadAttention(E, H)
    with pytest.raises(error, match=message):
        mha.forward(*_arrays(2, 3, 4)[:3], *masks)


@pytest.mark.parametrize(
    "shapes, message",
    [
        (((2, 3, 6), (2, 4, 8), (2, 4, 8)), r"query must be an array of shape \(N, L, E\) with E = embed_dim = 8"),
        (((2, 3, 8), (2, 4, 8), (2, 5, 8)), "key and value must have the same shape"),
        (((2, 3, 8), (3, 4, 8), (3, 4, 8)), "same batch size, got 2 and 3"),
        (((3, 8), (2, 4, 8), (2, 4, 8)), "query must be an array"),
    ],
)
def test_input_shape_errors(shapes, message):
    with pytest.raises(ValueError, match=message):
        MultiHeadAttention(E, H).forward(*(np.zeros(s) for s in shapes))


def test_attention_backward_must_give_three_gradients():
    class TwoGradients:
        def forward(self, Q, K, V, mask):
            return np.zeros(Q.shape)

        def backward(self, dLdA):
            return dLdA, dLdA

    mha = MultiHeadAttention(E, H)
    mha.attention = TwoGradients()
    query, key, value, G = _arrays(2, 3, 3)
    mha.forward(query, key, value)
    with pytest.raises(ValueError, match="not enough values to unpack"):
        mha.backward(G)
