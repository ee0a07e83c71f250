"""Speech front-ends (convolutional and recurrent subsampling, frame stacking, time-frequency
convolutions): factor splitting, output lengths against the forward pass, the recurrent stage against
packed sequences, structure, argument errors in order, demonstrations, copies, Ctrl-C."""

import pytest
import torch

from velkor.model import sollund
from velkor.model.sollund import Conv2DSubsampling, FrameStacking, SpeechEmbedding, StackedBLSTMEmbedding, TimeFrequencySubsampling

FACTORS = [(1, (1, 1)), (2, (2, 1)), (4, (2, 2)), (6, (3, 2)), (7, (7, 1)), (8, (4, 2)), (12, (4, 3)), (36, (6, 6))]


@pytest.mark.parametrize("n, pair", FACTORS)
def test_closest_factors(n, pair):
    for block in (Conv2DSubsampling(10, 4), StackedBLSTMEmbedding(4, 4, 4), SpeechEmbedding(10, 4)):
        assert block.closest_factors(n) == pair


def test_closest_factors_refuses_what_cannot_be_split():
    with pytest.raises(ValueError, match="positive integer"):
        Conv2DSubsampling(10, 4, time_reduction=0)
    with pytest.raises(TypeError, match="Argument 'n' must be of type int, got float"):
        SpeechEmbedding(10, 4).closest_factors(6.0)


METHODS = [("conv", 3), ("conv", 4), ("lstm", 2), ("lstm", 6), ("lstm", 7), ("both", 4), ("both", 5), ("both", 6)]
METHODS += [("stack", 1), ("stack", 3), ("stack", 4), ("conv2d", 2), ("conv2d", 4), ("conv2d", 6)]


@pytest.mark.parametrize("method, reduction", METHODS)
def test_lengths_agree_with_forward_and_with_each_utterance_alone(method, reduction):
    model = SpeechEmbedding(12, 8, time_reduction=reduction, reduction_method=method).eval()
    lengths = torch.tensor([57, 91, 33, 90])  # odd, unsorted, one at full length
    x = torch.randn(4, 91, 12)
    with torch.no_grad():
        out, out_len = model(x, lengths)
    expected = model.calculate_downsampled_length(lengths)
    assert torch.equal(out_len, expected)
    assert out.shape == (4, int(model.calculate_downsampled_length(torch.tensor([91]))[0]), 8)
    # Padding never leaks into the valid frames of another length.
    for b, n in enumerate(lengths.tolist()):
        with torch.no_grad():
            alone, alone_len = model(x[b : b + 1, :n], lengths[b : b + 1])
        assert alone_len.item() == out_len[b].item()
        torch.testing.assert_close(alone[0], out[b, : out_len[b]], rtol=1e-4, atol=1e-5)


@pytest.mark.parametrize("reduction, time", [(4, 249), (6, 166), (2, 497), (7, 141)])
def test_convolution_length_rule(reduction, time):
    conv = Conv2DSubsampling(20, 6, time_reduction=reduction)
    out, out_len = conv(torch.randn(1, 1000, 20), torch.tensor([1000], dtype=torch.int32))
    assert out.shape == (1, time, 6)
    assert out_len.tolist() == [time] and out_len.dtype == torch.int32  # lengths keep their type
    assert conv.calculate_downsampled_length(1000, conv.time_stride1, conv.time_stride2) == time


def test_convolution_structure():
    conv = Conv2DSubsampling(20, 6, time_reduction=6, kernel_size=5)
    assert (conv.kernel_size, conv.time_stride1, conv.time_stride2) == (5, 3, 2)
    assert [type(m).__name__ for m in conv.conv] == ["Conv2d", "GELU", "Conv2d", "GELU"]
    assert conv.conv[0].stride == (3, 1) and conv.conv[2].stride == (2, 1) and conv.conv[0].padding == (0, 0)
    assert conv.linear_out.in_features == 6 * (20 - 2 * 4)
    assert [n for n, _ in conv.named_children()] == ["conv", "linear_out", "dropout"]


def test_recurrent_structure_and_length_dtype():
    blstm = StackedBLSTMEmbedding(10, 8, 6, time_reduction=6)
    assert (blstm.stride1, blstm.stride2) == (3, 2)
    assert blstm.pool1_params == {"kernel_size": 3, "stride": 3, "padding": 0, "dilation": 1}
    assert [n for n, _ in blstm.named_children()] == ["blstm1", "blstm2", "pool1", "pool2", "linear_embed", "dropout"]
    assert blstm.blstm1.bidirectional and blstm.blstm1.batch_first and blstm.blstm1.hidden_size == 4
    assert blstm.dropout.p == 0.1
    _, out_len = blstm(torch.randn(2, 20, 10), torch.tensor([20, 13], dtype=torch.int32))
    assert out_len.tolist() == [3, 2] and out_len.dtype == torch.int64


@pytest.mark.parametrize(
    "params",
    [
        {"kernel_size": 3, "stride": 3, "padding": 0, "dilation": 1},
        {"kernel_size": 3, "stride": 2, "padding": 1, "dilation": 1},
        {"kernel_size": 2, "stride": 1, "padding": 0, "dilation": 3},
    ],
)
def test_pool_rule_matches_max_pooling(params):
    blstm = StackedBLSTMEmbedding(4, 4, 4)
    for length in (7, 8, 9, 30):
        expected = torch.nn.MaxPool1d(**params)(torch.zeros(1, 1, length)).shape[-1]
        got = blstm.calculate_pool_output_length(torch.tensor([length], dtype=torch.int32), params)
        assert got.tolist() == [expected] and got.dtype == torch.int64


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda b: b.calculate_pool_output_length(torch.tensor([4]), [("stride", 2)]),
            "Argument 'pool_params' must be of type dict, got list",
        ),
        (lambda b: b.calculate_pool_output_length(4, b.pool1_params), "Argument 'L_in' must be of type Tensor, got int"),
    ],
)
def test_pool_rule_bad_arguments(call, message):
    with pytest.raises(TypeError) as info:
        call(StackedBLSTMEmbedding(4, 4, 4))
    assert str(info.value) == message


def test_default_front_end():
    model = SpeechEmbedding(80, 256)
    assert (model.embedding_dim, model.reduction_method, model.cnn) == (256, "lstm", None)
    assert (model.blstm.stride1, model.blstm.stride2) == (3, 2)
    with torch.no_grad():
        out, out_len = model.eval()(torch.randn(1, 1000, 80), torch.tensor([1000]))
    assert out.shape == (1, 166, 256) and out_len.tolist() == [166]


def test_both_splits_the_reduction():
    model = SpeechEmbedding(80, 256, reduction_method="both", time_reduction=6)
    assert (model.cnn.time_stride1, model.cnn.time_stride2) == (3, 1)
    assert (model.blstm.stride1, model.blstm.stride2) == (2, 1)
    assert model.blstm.blstm1.input_size == 256
    assert [n for n, _ in model.named_children()] == ["cnn", "blstm"]
    assert SpeechEmbedding(80, 256, reduction_method="conv").blstm is None


def test_odd_hidden_width_builds_but_cannot_run():
    model = SpeechEmbedding(20, 15, reduction_method="lstm")
    with pytest.raises(RuntimeError):
        model(torch.randn(1, 12, 20), torch.tensor([12]))


@pytest.mark.parametrize(
    "args, message",
    [
        ((0, 8, 6, "nope", 1.0), "All dimension values must be positive"),
        ((8, 8, -1), "All dimension values must be positive"),
        ((8, 8, 6, "nope", 1.0), "Dropout rate must be between 0 and 1"),
        ((8, 8, 6, "lstm", -0.1), "Dropout rate must be between 0 and 1"),
        ((8, 8, 6, "nope", 0.5), "reduction_method must be 'conv', 'lstm', 'both', 'stack', or 'conv2d'"),
    ],
)
def test_speech_embedding_value_errors_in_order(args, message):
    with pytest.raises(ValueError) as info:
        SpeechEmbedding(*args)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "args, message",
    [((8, 0, 8), "All dimension values must be positive"), ((8, 8, 8, 2, 1.0), "Dropout rate must be between 0 and 1")],
)
def test_recurrent_value_errors(args, message):
    with pytest.raises(ValueError) as info:
        StackedBLSTMEmbedding(*args)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda: SpeechEmbedding(80.0, 8), "Argument 'input_dim' must be of type int, got float"),
        (lambda: SpeechEmbedding(80, 8, reduction_method=None), "Argument 'reduction_method' must be of type str, got NoneType"),
        (lambda: SpeechEmbedding(80, 8, time_reduction=True), "Argument 'time_reduction' must be of type int, got bool"),
        (lambda: StackedBLSTMEmbedding(8, 8.0, 8), "Argument 'hidden_dim' must be of type int, got float"),
        (lambda: Conv2DSubsampling(8, 8, kernel_size="3"), "Argument 'kernel_size' must be of type int, got str"),
        (lambda: Conv2DSubsampling(8, 8).calculate_downsampled_length(10, 2.0, 1), "Argument 'stride1' must be of type int, got float"),
        (lambda: sollund.get_inputs(8, 10.0, 2), "Argument 'max_length' must be of type int, got float"),
    ],
)
def test_argument_types(make, message):
    with pytest.raises(TypeError) as info:
        make()
    assert str(info.value) == message


def test_get_inputs():
    data, lengths = sollund.get_inputs(5, 7, 3)
    assert data.shape == (3, 7, 5) and lengths.tolist() == [7.0, 7.0, 7.0]


@pytest.mark.parametrize(
    "demo, children, lengths",
    [
        (sollund.test_sollund_lstm, ["StackedBLSTMEmbedding"], "tensor([10, 10])"),
        (sollund.test_sollund_both, ["Conv2DSubsampling", "StackedBLSTMEmbedding"], "tensor([8, 8])"),
    ],
)
def test_demonstrations_print_summary_and_lengths(demo, children, lengths, monkeypatch, capsys):
    # The demonstrations draw their inputs through the module's get_inputs; a shorter batch keeps this quick.
    requested = []

    def short_inputs(input_dim, max_length, batch_size):
        requested.append((input_dim, max_length, batch_size))
        return torch.randn(2, 40, input_dim), torch.tensor([40, 40])

    monkeypatch.setattr(sollund, "get_inputs", short_inputs)
    demo(4)
    out = capsys.readouterr().out
    assert requested == [(80, 1000, 10)]
    assert all(name in out for name in ["SpeechEmbedding", *children])
    assert out.rstrip().splitlines()[-1] == lengths


@pytest.mark.parametrize("method", ["conv", "lstm", "both"])
def test_copies_and_serialisation(method, ref):
    def make():
        return SpeechEmbedding(12, 8, time_reduction=4, reduction_method=method, dropout=0.1)

    ref.survives_copies(make(), torch.randn(2, 30, 12), torch.tensor([30, 17]), fresh=make)


def test_a_long_factor_search_stops_on_ctrl_c():
    import signal
    import subprocess
    import sys
    import time

    code = (
        "import signal\n"
        # A runner started in the background may hand its children SIGINT ignored.
        "signal.signal(signal.SIGINT, signal.default_int_handler)\n"
        "from velkor.model.sollund import SpeechEmbedding\n"
        "m = SpeechEmbedding(4, 4)\n"
        "print('ready', flush=True)\n"
        "m.closest_factors(2**63 - 25)\n"  # a prime: about 3e9 trial divisions, tens of seconds
    )
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "ready\n"
    time.sleep(0.3)
    child.send_signal(signal.SIGINT)
    try:
        _, err = child.communicate(timeout=8)
    except subprocess.TimeoutExpired:
        child.kill()
        pytest.fail("the factor search ignored Ctrl-C")
    assert "KeyboardInterrupt" in err


def _frame_rule(method, r, n):
    """Output frames of n input frames, written independently of the modules."""
    if method == "stack":
        return -(-n // r)
    layers = {2: [(3, 2), (3, 1)], 4: [(3, 2), (3, 2)], 6: [(3, 2), (5, 3)], 8: [(3, 2), (3, 2), (3, 2)]}[r]
    for kernel, stride in layers:
        n = max(0, (n - kernel) // stride + 1) if n > 0 else 0
    return n


@pytest.mark.parametrize("method, r", [("stack", 4), ("stack", 3), ("conv2d", 2), ("conv2d", 4), ("conv2d", 6), ("conv2d", 8)])
def test_stack_and_conv2d_frame_count_rule(method, r):
    model = SpeechEmbedding(40, 8, time_reduction=r, reduction_method=method).eval()
    for n in (1000, 997, 33):
        with torch.no_grad():
            out, out_len = model(torch.randn(1, n, 40), torch.tensor([n]))
        assert out.shape[1] == out_len.item() == _frame_rule(method, r, n)
    short = torch.arange(0, 12)  # never negative, even below a kernel's width
    assert model.calculate_downsampled_length(short).tolist() == [_frame_rule(method, r, int(n)) for n in short]
    assert model.calculate_downsampled_length(97) == _frame_rule(method, r, 97)


def test_stack_and_conv2d_structure():
    stack = SpeechEmbedding(80, 96, time_reduction=4, reduction_method="stack")
    assert [n for n, _ in stack.named_children()] == ["subsampling"] and stack.cnn is None and stack.blstm is None
    assert isinstance(stack.subsampling, FrameStacking) and stack.subsampling.linear.in_features == 320
    conv = SpeechEmbedding(80, 96, time_reduction=4, reduction_method="conv2d").subsampling
    assert isinstance(conv, TimeFrequencySubsampling)
    assert [type(m).__name__ for m in conv.conv] == ["Conv2d", "ReLU", "Conv2d", "ReLU"]
    assert conv.conv[0].stride == (2, 2) and conv.conv[2].stride == (2, 2)
    assert conv.linear_out.in_features == 96 * 19  # 80 bins -> 39 -> 19
    for args, message in [
        ((80, 96, 5, "conv2d"), "conv2d subsampling reduces time by 2, 4, 6 or 8, got time_reduction 5"),
        ((6, 96, 4, "conv2d"), "conv2d subsampling by 4 leaves no frequency bins of input_dim 6"),
        ((80, 0, 4, "stack"), "All dimension values must be positive"),
    ]:
        with pytest.raises(ValueError) as info:
            SpeechEmbedding(*args)
        assert str(info.value) == message


def test_recurrent_stage_matches_packed_sequences():
    """The recurrent stage against packing, nn.LSTM and unpacking: outputs and every gradient."""
    from torch.nn.utils.rnn import pack_padded_sequence, pad_packed_sequence

    torch.manual_seed(3)
    block = StackedBLSTMEmbedding(6, 8, 5, time_reduction=4, dropout=0.0)
    lengths = torch.tensor([23, 40, 9, 39, 1 + 3])  # odd, unsorted, one at full length, one short
    x = torch.randn(5, 40, 6, requires_grad=True)

    def reference():
        h, n = x, lengths
        for lstm, pool in ((block.blstm1, block.pool1), (block.blstm2, block.pool2)):
            packed = pack_padded_sequence(h, n, batch_first=True, enforce_sorted=False)
            h = pad_packed_sequence(lstm(packed)[0], batch_first=True, total_length=h.size(1))[0]
            h = pool(h.transpose(1, 2)).transpose(1, 2)
            n = (n - pool.kernel_size) // pool.stride + 1
        return block.linear_embed(h), n

    def outputs_and_gradients(run):
        block.zero_grad()
        x.grad = None
        out, out_len = run()
        out.sin().sum().backward()
        return out.detach(), out_len, [x.grad.clone()] + [p.grad.clone() for p in block.parameters()]

    got, got_len, got_grads = outputs_and_gradients(lambda: block(x, lengths))
    want, want_len, want_grads = outputs_and_gradients(reference)
    torch.testing.assert_close(got, want, atol=1e-6, rtol=1e-5)
    assert got_len.tolist() == want_len.tolist()
    for a, b in zip(got_grads, want_grads, strict=True):
        torch.testing.assert_close(a, b, atol=1e-5, rtol=1e-4)
