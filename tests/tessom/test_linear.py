"""tessom linear layer: forward and gradients against torch autograd, gradient overwrite, bias
layouts, weight initialisation, integer inputs, bad arguments."""

import numpy as np
import pytest
import torch

from tessom.nn.linear import Linear


def _layer(in_features, out_features, seed=0):
    rng = np.random.default_rng(seed)
    layer = Linear(in_features, out_features)
    W = rng.standard_normal((out_features, in_features))
    b = rng.standard_normal(out_features)
    layer.init_weights(W, b)
    return layer, W, b


@pytest.mark.parametrize("leading", [(), (5,), (2, 3), (2, 1, 3)])
def test_forward_and_gradients_match_autograd(leading):
    layer, W, b = _layer(4, 3)
    rng = np.random.default_rng(1)
    A = rng.standard_normal(leading + (4,))
    G = rng.standard_normal(leading + (3,))

    Z = layer.forward(A)
    dA = layer.backward(G)

    tA, tW, tb = (torch.tensor(x, requires_grad=True) for x in (A, W, b))
    tZ = torch.nn.functional.linear(tA, tW, tb)
    tZ.backward(torch.tensor(G))
    np.testing.assert_allclose(Z, tZ.detach().numpy(), rtol=1e-12, atol=1e-12)
    assert dA.shape == A.shape
    np.testing.assert_allclose(dA, tA.grad.numpy(), rtol=1e-12, atol=1e-12)
    np.testing.assert_allclose(layer.dLdW, tW.grad.numpy(), rtol=1e-12, atol=1e-12)
    np.testing.assert_allclose(layer.dLdb, tb.grad.numpy(), rtol=1e-12, atol=1e-12)


def test_gradients_are_overwritten_not_accumulated():
    layer, _, _ = _layer(2, 2)
    A = np.ones((3, 2))
    layer.forward(A)
    layer.backward(np.ones((3, 2)))
    layer.backward(np.ones((3, 2)))
    np.testing.assert_allclose(layer.dLdb, [3.0, 3.0])


@pytest.mark.parametrize("b_shape", [(3,), (1, 3), (3, 1)])
def test_bias_layouts_are_stored_flat(b_shape):
    layer = Linear(2, 3)
    layer.init_weights(np.zeros((3, 2)), np.arange(3.0).reshape(b_shape))
    assert layer.b.shape == (3,)
    np.testing.assert_array_equal(layer.forward(np.zeros((4, 2))), np.tile([0.0, 1.0, 2.0], (4, 1)))


def test_init_weights_copies_and_clears_gradients():
    layer, W, _ = _layer(2, 2)
    layer.forward(np.ones((1, 2)))
    layer.backward(np.ones((1, 2)))
    W2 = np.eye(2)
    layer.init_weights(W2, np.zeros(2))
    W2[0, 0] = 100.0
    assert layer.W[0, 0] == 1.0
    assert not layer.dLdW.any() and not layer.dLdb.any()
    with pytest.raises(RuntimeError, match="before forward"):
        layer.backward(np.ones((1, 2)))


def test_integer_input_is_promoted_to_float():
    layer, W, b = _layer(2, 2)
    np.testing.assert_allclose(layer.forward(np.array([[1, 2]])), np.array([[1.0, 2.0]]) @ W.T + b)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: Linear(2.0, 3), TypeError, "Argument 'in_features' must be of type int, got float"),
        (lambda: Linear(2, True), TypeError, "Argument 'out_features' must be of type int, got bool"),
        (lambda: Linear(0, 3), ValueError, "must be positive"),
        (lambda: Linear(2, 3).init_weights(np.zeros((2, 3)), np.zeros(3)), ValueError, r"W must have shape .* = \(3, 2\), got \(2, 3\)"),
        (lambda: Linear(2, 3).init_weights(np.zeros((3, 2)), np.zeros(2)), ValueError, "b must hold out_features = 3 values"),
        (lambda: Linear(2, 3).init_weights(np.zeros((3, 2), complex), np.zeros(3)), TypeError, "'W' must be a real-valued array"),
        (lambda: Linear(2, 3).forward(np.zeros((4, 3))), ValueError, r"in_features = 2 .* got shape \(4, 3\)"),
        (lambda: Linear(2, 3).forward(np.float64(1.0)), ValueError, "in_features = 2"),
        (lambda: Linear(2, 3).backward(np.zeros((4, 3))), RuntimeError, "before forward"),
    ],
)
def test_bad_arguments_are_named(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_backward_refuses_gradient_of_another_shape():
    layer = Linear(2, 3)
    layer.forward(np.zeros((4, 2)))
    with pytest.raises(ValueError, match=r"\(4, 3\), got \(3, 4\)"):
        layer.backward(np.zeros((3, 4)))
