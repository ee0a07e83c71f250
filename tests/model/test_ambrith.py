"""Sinusoidal positional encoding: the table against its formula, addition to the first positions,
the length limit, the buffer, rebuilding for new sizes, odd widths and bad sizes, copies."""

import math

import pytest
import torch

from velkor.model.ambrith import PositionalEncoding


def test_table_follows_the_sinusoid_formula():
    d_model, max_len = 16, 50
    pe = PositionalEncoding(d_model, max_len).pe
    assert pe.shape == (1, max_len, d_model) and pe.dtype == torch.float32
    p = torch.arange(max_len, dtype=torch.float64)[:, None]
    i = torch.arange(0, d_model, 2, dtype=torch.float64)
    angle = p * 10000.0 ** (-i / d_model)
    torch.testing.assert_close(pe[0, :, 0::2].double(), angle.sin(), rtol=0, atol=2e-5)
    torch.testing.assert_close(pe[0, :, 1::2].double(), angle.cos(), rtol=0, atol=2e-5)
    assert torch.all(pe[0, 0, 0::2] == 0) and torch.all(pe[0, 0, 1::2] == 1)


def test_forward_adds_the_first_positions_to_every_batch_row():
    module = PositionalEncoding(8, 20)
    x = torch.randn(3, 7, 8)
    before = x.clone()
    out = module(x)
    assert torch.equal(x, before)  # not modified in place
    assert torch.equal(out, x + module.pe[0, :7])
    torch.testing.assert_close(out - x, module.pe[:, :7].expand(3, -1, -1))


@pytest.mark.parametrize("seq_len, ok", [(20, True), (21, False)])
def test_length_limit(seq_len, ok):
    module = PositionalEncoding(4, 20)
    x = torch.zeros(2, seq_len, 4)
    if ok:
        assert module(x).shape == x.shape
    else:
        with pytest.raises(ValueError, match="^Sequence length 21 exceeds the maximum length 20$"):
            module(x)


def test_state_is_one_buffer_that_follows_the_module():
    module = PositionalEncoding(6, 10)
    state = module.state_dict()
    assert list(state) == ["pe"] and state["pe"].shape == (1, 10, 6)
    assert list(module.parameters()) == []
    assert module.double().pe.dtype == torch.float64


def test_create_pe_table_rebuilds_for_new_sizes():
    module = PositionalEncoding(4, 10)
    module.create_pe_table(8, 30)
    assert module.pe.shape == (1, 30, 8)
    assert module(torch.zeros(1, 30, 8)).shape == (1, 30, 8)


@pytest.mark.parametrize("d_model", [1, 5, 7])
def test_odd_width_warns_and_still_builds(d_model, capsys):
    module = PositionalEncoding(d_model, 12)
    assert capsys.readouterr().out == f"Warning: d_model={d_model} is odd. Positional Encoding assumes d_model is even.\n"
    pe = module.pe[0]
    assert pe.shape == (12, d_model)
    # Every column keeps its sinusoid; the last one, lacking a partner, is a sine.
    p = torch.arange(12, dtype=torch.float64)[:, None]
    angle = p * torch.exp(torch.arange(0, d_model, 2, dtype=torch.float64) * (-math.log(10000.0) / d_model))
    torch.testing.assert_close(pe[:, 0::2].double(), angle.sin(), rtol=0, atol=2e-5)
    torch.testing.assert_close(pe[:, 1::2].double(), angle.cos()[:, : d_model // 2], rtol=0, atol=2e-5)


def test_even_width_prints_nothing(capsys):
    PositionalEncoding(8, 4)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((8.0, 10), TypeError, "Argument 'd_model' must be of type int, got float"),
        ((8, True), TypeError, "Argument 'max_len' must be of type int, got bool"),
        ((0, 10), ValueError, "d_model must be positive, got 0"),
    ],
)
def test_bad_sizes(args, error, message):
    with pytest.raises(error) as info:
        PositionalEncoding(*args)
    assert str(info.value) == message


def test_copies_and_serialisation(ref):
    ref.survives_copies(PositionalEncoding(8, 16), torch.randn(2, 16, 8), fresh=lambda: PositionalEncoding(8, 16))
