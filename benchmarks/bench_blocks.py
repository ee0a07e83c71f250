"""Per-call forward time of each model block against its plain-Python twin.

Every twin below is an nn.Module written in Python with the same submodules and the same forward
code as the compiled block, loaded with the same state dict. Both run side by side in one process,
one thread, eval mode (under no_grad) and train mode (dropout on, autograd recording), a small and
a medium shape. Calls alternate between the two in blocks; each block keeps the fastest call of
each, and the ratio is the median over all blocks of several sweeps, which keeps it steady on a
shared, noisy machine.

    PYTHONPATH=src .venv/bin/python benchmarks/bench_blocks.py [--passes N] [--blocks N]

Prints ours / Python for every case and the worst ratio last.
"""

import argparse
import math
import statistics
import time

import torch
from torch import nn
from torch.nn.utils.rnn import pack_padded_sequence, pad_packed_sequence

from velkor.model.ambrith import PositionalEncoding
from velkor.model.drumvale import CrossAttentionDecoderLayer, SelfAttentionDecoderLayer
from velkor.model.lunmark import SelfAttentionEncoderLayer
from velkor.model.pellith import CrossAttentionLayer, FeedForwardLayer, SelfAttentionLayer
from velkor.model.sollund import Conv2DSubsampling, SpeechEmbedding, StackedBLSTMEmbedding


# ---- Python twins ----------------------------------------------------------------------------


class PyPositionalEncoding(nn.Module):
    def __init__(self, d_model, max_len):
        super().__init__()
        position = torch.arange(max_len).unsqueeze(1)
        div_term = torch.exp(torch.arange(0, d_model, 2).float() * (-math.log(10000.0) / d_model))
        pe = torch.zeros(max_len, d_model)
        pe[:, 0::2] = torch.sin(position * div_term)
        pe[:, 1::2] = torch.cos(position * div_term)
        self.register_buffer("pe", pe.unsqueeze(0).float())

    def forward(self, x):
        seq_len = x.size(1)
        if seq_len > self.pe.size(1):
            raise ValueError(f"Sequence length {seq_len} exceeds the maximum length {self.pe.size(1)}")
        return x + self.pe[:, :seq_len]


class PySelfAttentionLayer(nn.Module):
    def __init__(self, d_model, num_heads, dropout=0.0):
        super().__init__()
        self.mha = nn.MultiheadAttention(embed_dim=d_model, num_heads=num_heads, dropout=dropout, batch_first=True)
        self.norm = nn.LayerNorm(d_model)
        self.dropout = nn.Dropout(dropout)

    def forward(self, x, key_padding_mask=None, attn_mask=None):
        residual = x
        x_norm = self.norm(x)
        x_mha, mha_attn_weights = self.mha(
            query=x_norm,
            key=x_norm,
            value=x_norm,
            key_padding_mask=key_padding_mask,
            attn_mask=attn_mask,
            need_weights=True,
            average_attn_weights=True,
        )
        x = residual + self.dropout(x_mha)
        return x, mha_attn_weights


class PyCrossAttentionLayer(PySelfAttentionLayer):
    def forward(self, x, y, key_padding_mask=None, attn_mask=None):
        residual = x
        x_norm = self.norm(x)
        x_mha, mha_attn_weights = self.mha(
            query=x_norm,
            key=y,
            value=y,
            key_padding_mask=key_padding_mask,
            attn_mask=attn_mask,
            need_weights=True,
            average_attn_weights=True,
        )
        x = residual + self.dropout(x_mha)
        return x, mha_attn_weights


class PyFeedForwardLayer(nn.Module):
    def __init__(self, d_model, d_ff, dropout=0.0):
        super().__init__()
        self.ffn = nn.Sequential(nn.Linear(d_model, d_ff), nn.GELU(), nn.Dropout(dropout), nn.Linear(d_ff, d_model))
        self.norm = nn.LayerNorm(d_model)
        self.dropout = nn.Dropout(dropout)

    def forward(self, x):
        residual = x
        x_norm = self.norm(x)
        x_ffn = self.ffn(x_norm)
        x = residual + self.dropout(x_ffn)
        return x


class PyEncoderLayer(nn.Module):
    def __init__(self, d_model, num_heads, d_ff, dropout=0.1):
        super().__init__()
        self.self_attn = PySelfAttentionLayer(d_model, num_heads, dropout)
        self.ffn = PyFeedForwardLayer(d_model, d_ff, dropout)

    def forward(self, x, key_padding_mask=None):
        x, mha_attn_weights = self.self_attn(x, key_padding_mask=key_padding_mask)
        x = self.ffn(x)
        return x, mha_attn_weights


class PySelfAttentionDecoderLayer(PyEncoderLayer):
    def forward(self, x, key_padding_mask=None, attn_mask=None):
        x, mha_attn_weights = self.self_attn(x, key_padding_mask=key_padding_mask, attn_mask=attn_mask)
        x = self.ffn(x)
        return x, mha_attn_weights


class PyCrossAttentionDecoderLayer(nn.Module):
    def __init__(self, d_model, num_heads, d_ff, dropout=0.1):
        super().__init__()
        self.self_attn = PySelfAttentionLayer(d_model, num_heads, dropout)
        self.cross_attn = PyCrossAttentionLayer(d_model, num_heads, dropout)
        self.ffn = PyFeedForwardLayer(d_model, d_ff, dropout)

    def forward(self, x, enc_output, dec_key_padding_mask=None, enc_key_padding_mask=None, attn_mask=None):
        x, self_attn_weights = self.self_attn(x, key_padding_mask=dec_key_padding_mask, attn_mask=attn_mask)
        x, cross_attn_weights = self.cross_attn(x, enc_output, key_padding_mask=enc_key_padding_mask, attn_mask=None)
        x = self.ffn(x)
        return x, self_attn_weights, cross_attn_weights


def py_closest_factors(n):
    factor = int(n**0.5)
    while n % factor != 0:
        factor -= 1
    return max(factor, n // factor), min(factor, n // factor)


class PyConv2DSubsampling(nn.Module):
    def __init__(self, input_dim, output_dim, dropout=0.0, time_reduction=2, kernel_size=3):
        super().__init__()
        self.kernel_size = kernel_size
        self.time_stride1, self.time_stride2 = py_closest_factors(time_reduction)
        self.conv = nn.Sequential(
            nn.Conv2d(1, output_dim, kernel_size, stride=(self.time_stride1, 1)),
            nn.GELU(),
            nn.Conv2d(output_dim, output_dim, kernel_size, stride=(self.time_stride2, 1)),
            nn.GELU(),
        )
        self.linear_out = nn.Linear(output_dim * self.calculate_downsampled_length(input_dim, 1, 1), output_dim)
        self.dropout = nn.Dropout(dropout)

    def calculate_downsampled_length(self, lengths, stride1, stride2):
        lengths = (lengths - (self.kernel_size - 1) - 1) // stride1 + 1
        lengths = (lengths - (self.kernel_size - 1) - 1) // stride2 + 1
        return lengths

    def forward(self, x, x_len):
        x = x.unsqueeze(1)
        x = self.conv(x)
        batch_size, channels, time, freq = x.size()
        x = x.transpose(1, 2).contiguous().view(batch_size, time, channels * freq)
        x = self.linear_out(x)
        x = self.dropout(x)
        x_len = self.calculate_downsampled_length(x_len, self.time_stride1, self.time_stride2)
        return x, x_len


class PyStackedBLSTMEmbedding(nn.Module):
    def __init__(self, input_dim, hidden_dim, output_dim, time_reduction=2, dropout=0.1):
        super().__init__()
        self.stride1, self.stride2 = py_closest_factors(time_reduction)
        self.pool1_params = {"kernel_size": self.stride1, "stride": self.stride1, "padding": 0, "dilation": 1}
        self.pool2_params = {"kernel_size": self.stride2, "stride": self.stride2, "padding": 0, "dilation": 1}
        self.blstm1 = nn.LSTM(input_dim, hidden_dim // 2, num_layers=1, batch_first=True, bidirectional=True)
        self.blstm2 = nn.LSTM(hidden_dim, hidden_dim // 2, num_layers=1, batch_first=True, bidirectional=True)
        self.pool1 = nn.MaxPool1d(**self.pool1_params)
        self.pool2 = nn.MaxPool1d(**self.pool2_params)
        self.linear_embed = nn.Linear(hidden_dim, output_dim)
        self.dropout = nn.Dropout(dropout)

    def calculate_pool_output_length(self, L_in, pool_params):
        return (
            (L_in + 2 * pool_params["padding"] - pool_params["dilation"] * (pool_params["kernel_size"] - 1) - 1) // pool_params["stride"]
            + 1
        ).to(torch.long)

    def forward(self, x, x_len):
        total_length = x.size(1)
        packed = pack_padded_sequence(x, x_len.cpu(), batch_first=True, enforce_sorted=False)
        x, _ = self.blstm1(packed)
        x, _ = pad_packed_sequence(x, batch_first=True, total_length=total_length)
        x = self.pool1(x.transpose(1, 2)).transpose(1, 2)
        x_len = self.calculate_pool_output_length(x_len, self.pool1_params)
        total_length = x.size(1)
        packed = pack_padded_sequence(x, x_len.cpu(), batch_first=True, enforce_sorted=False)
        x, _ = self.blstm2(packed)
        x, _ = pad_packed_sequence(x, batch_first=True, total_length=total_length)
        x = self.pool2(x.transpose(1, 2)).transpose(1, 2)
        x_len = self.calculate_pool_output_length(x_len, self.pool2_params)
        x = self.linear_embed(x)
        x = self.dropout(x)
        return x, x_len


class PySpeechEmbedding(nn.Module):
    def __init__(self, input_dim, output_dim, time_reduction=6, reduction_method="lstm", dropout=0.0):
        super().__init__()
        self.embedding_dim = output_dim
        self.reduction_method = reduction_method
        conv_reduction, lstm_reduction = {
            "conv": (time_reduction, 1),
            "lstm": (1, time_reduction),
            "both": py_closest_factors(time_reduction),
        }[reduction_method]
        self.cnn = None
        self.blstm = None
        if reduction_method in ("conv", "both"):
            self.cnn = PyConv2DSubsampling(input_dim, output_dim, dropout=dropout, time_reduction=conv_reduction)
        if reduction_method in ("lstm", "both"):
            self.blstm = PyStackedBLSTMEmbedding(
                output_dim if self.cnn is not None else input_dim, output_dim, output_dim, time_reduction=lstm_reduction, dropout=dropout
            )

    def forward(self, x, x_len):
        if self.cnn is not None:
            x, x_len = self.cnn(x, x_len)
        if self.blstm is not None:
            x, x_len = self.blstm(x, x_len)
        return x, x_len


# ---- Cases -----------------------------------------------------------------------------------


def causal(t):
    return torch.triu(torch.ones(t, t, dtype=torch.bool), 1)


def padding(batch, t):
    mask = torch.zeros(batch, t, dtype=torch.bool)
    mask[0, t // 2 :] = True
    return mask


def cases():
    """(name, ours, twin, inputs) for a small and a medium shape of every block."""
    for size, (b, t, s, d, heads) in (("small", (2, 8, 10, 32, 4)), ("medium", (4, 48, 64, 128, 4))):
        x, y = torch.randn(b, t, d), torch.randn(b, s, d)
        yield "PositionalEncoding", size, PositionalEncoding(d, 128), PyPositionalEncoding(d, 128), (x,)
        yield (
            "SelfAttentionLayer",
            size,
            SelfAttentionLayer(d, heads, 0.1),
            PySelfAttentionLayer(d, heads, 0.1),
            (x, padding(b, t), causal(t)),
        )
        yield "CrossAttentionLayer", size, CrossAttentionLayer(d, heads, 0.1), PyCrossAttentionLayer(d, heads, 0.1), (x, y, padding(b, s))
        yield "FeedForwardLayer", size, FeedForwardLayer(d, 4 * d, 0.1), PyFeedForwardLayer(d, 4 * d, 0.1), (x,)
        yield (
            "SelfAttentionEncoderLayer",
            size,
            SelfAttentionEncoderLayer(d, heads, 4 * d),
            PyEncoderLayer(d, heads, 4 * d),
            (x, padding(b, t)),
        )
        yield (
            "SelfAttentionDecoderLayer",
            size,
            SelfAttentionDecoderLayer(d, heads, 4 * d),
            PySelfAttentionDecoderLayer(d, heads, 4 * d),
            (x, padding(b, t), causal(t)),
        )
        yield (
            "CrossAttentionDecoderLayer",
            size,
            CrossAttentionDecoderLayer(d, heads, 4 * d),
            PyCrossAttentionDecoderLayer(d, heads, 4 * d),
            (x, y, padding(b, t), padding(b, s), causal(t)),
        )

    for size, (b, t, feat, out) in (("small", (2, 24, 16, 16)), ("medium", (4, 100, 40, 64))):
        x = torch.randn(b, t, feat)
        lengths = torch.tensor([t] + [t - 5] * (b - 1))
        yield "Conv2DSubsampling", size, Conv2DSubsampling(feat, out, 0.1, 4), PyConv2DSubsampling(feat, out, 0.1, 4), (x, lengths)
        yield (
            "StackedBLSTMEmbedding",
            size,
            StackedBLSTMEmbedding(feat, out, out, 6),
            PyStackedBLSTMEmbedding(feat, out, out, 6),
            (x, lengths),
        )
        for method in ("lstm", "both"):
            yield (
                f"SpeechEmbedding[{method}]",
                size,
                SpeechEmbedding(feat, out, 6, method, 0.1),
                PySpeechEmbedding(feat, out, 6, method, 0.1),
                (x, lengths),
            )


def measure(ours, twin, inputs, blocks):
    """Fastest per-call time of ours and the twin in each block of calls made alternately.

    The fastest call is the one least disturbed by other work on the machine; returns the
    (ours, twin) minima of every block.
    """
    start = time.perf_counter()
    twin(*inputs)
    pairs = max(4, min(25, int(0.03 / (time.perf_counter() - start))))
    clock = time.perf_counter
    result = []
    for _ in range(blocks):
        best = {ours: float("inf"), twin: float("inf")}
        for i in range(pairs):
            for module in (ours, twin) if i % 2 == 0 else (twin, ours):
                t0 = clock()
                module(*inputs)
                best[module] = min(best[module], clock() - t0)
        result.append((best[ours], best[twin]))
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--passes", type=int, default=4, help="sweeps over all cases; load changes between them average out")
    parser.add_argument("--blocks", type=int, default=5, help="blocks of alternating calls per case and sweep")
    args = parser.parse_args()
    torch.set_num_threads(1)
    torch.manual_seed(0)

    runs = []
    for name, size, ours, twin, inputs in cases():
        twin.load_state_dict(ours.state_dict())
        for mode in ("eval", "train"):
            runs.append((f"{name} {mode} {size}", mode, ours, twin, inputs, []))

    for _ in range(args.passes):
        for _label, mode, ours, twin, inputs, samples in runs:
            ours.train(mode == "train"), twin.train(mode == "train")
            with torch.set_grad_enabled(mode == "train"):
                if not samples:
                    if mode == "eval":  # same weights, same code: same outputs
                        for a, b in zip(torch.utils._pytree.tree_leaves(ours(*inputs)), torch.utils._pytree.tree_leaves(twin(*inputs))):
                            torch.testing.assert_close(a, b)
                    for _ in range(3):  # warm-up: allocator, kernels, caches
                        ours(*inputs), twin(*inputs)
                samples.extend(measure(ours, twin, inputs, args.blocks))

    worst = (0.0, "")
    for label, _, _, _, _, samples in runs:
        ratio = statistics.median(o / t for o, t in samples)
        t_ours, t_twin = min(o for o, _ in samples), min(t for _, t in samples)
        print(f"{label:<42} ours {t_ours * 1e6:10.1f} us   python {t_twin * 1e6:10.1f} us   ratio {ratio:.3f}")
        worst = max(worst, (ratio, label))
    print(f"worst ratio (ours / python): {worst[0]:.3f} ({worst[1]})")


if __name__ == "__main__":
    main()
