"""Array multi-head attention: forward + backward against PyTorch's nn.MultiheadAttention.

Both run the same shapes in float64 on the CPU, side by side in one process, on one thread each
(BLAS threads oversubscribe a shared machine and make the figures meaningless); the two steps
alternate within each repeat so load changes hit both alike, and each figure is the median.
Ratios above 1 mean the array version is slower.

    PYTHONPATH=src .venv/bin/python benchmarks/bench_array_attention.py
"""

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # before numpy loads its BLAS

import statistics
import time

import numpy as np
import torch

from tessom.nn.corvisk import MultiHeadAttention

SHAPES = [(8, 64, 64, 256, 8), (8, 48, 80, 256, 8)]  # (N, L, S, E, H)
REPEATS = 30


def median_times(steps, repeats=REPEATS):
    for step in steps:
        for _ in range(3):
            step()
    times = [[] for _ in steps]
    for _ in range(repeats):
        for step, record in zip(steps, times):
            start = time.perf_counter()
            step()
            record.append(time.perf_counter() - start)
    return [statistics.median(record) for record in times]


def make_pair(E, H):
    torch_mha = torch.nn.MultiheadAttention(E, H, batch_first=True, dtype=torch.float64)
    ours = MultiHeadAttention(E, H)
    W = torch_mha.in_proj_weight.detach().numpy()
    b = torch_mha.in_proj_bias.detach().numpy()
    ours.init_weights(
        W[:E],
        b[:E],
        W[E : 2 * E],
        b[E : 2 * E],
        W[2 * E :],
        b[2 * E :],
        torch_mha.out_proj.weight.detach().numpy(),
        torch_mha.out_proj.bias.detach().numpy(),
    )
    return ours, torch_mha


def bench(N, L, S, E, H, masked):
    rng = np.random.default_rng(0)
    query, key, value = (rng.standard_normal(shape) for shape in ((N, L, E), (N, S, E), (N, S, E)))
    d_output = rng.standard_normal((N, L, E))
    key_padding_mask = attn_mask = None
    if masked:
        key_padding_mask = np.zeros((N, S), dtype=bool)
        key_padding_mask[:, S - S // 4 :] = True
        attn_mask = np.triu(np.ones((L, S), dtype=bool), 1)
    ours, torch_mha = make_pair(E, H)

    def ours_step():
        ours.forward(query, key, value, key_padding_mask, attn_mask)
        ours.backward(d_output)

    t_inputs = [torch.tensor(x, requires_grad=True) for x in (query, key, value)]
    t_grad = torch.tensor(d_output)
    t_kpm = None if key_padding_mask is None else torch.tensor(key_padding_mask)
    t_am = None if attn_mask is None else torch.tensor(attn_mask)

    def torch_step():
        for x in t_inputs:
            x.grad = None
        torch_mha.zero_grad()
        out, _ = torch_mha(*t_inputs, key_padding_mask=t_kpm, attn_mask=t_am, need_weights=False)
        out.backward(t_grad)

    return median_times([ours_step, torch_step])


def main():
    torch.set_num_threads(1)
    print(f"numpy {np.__version__}, torch {torch.__version__}, torch threads {torch.get_num_threads()}")
    ratios = []
    for shape in SHAPES:
        for masked in (False, True):
            t_ours, t_torch = bench(*shape, masked)
            ratio = t_ours / t_torch
            ratios.append(ratio)
            label = "masks" if masked else "no mask"
            print(f"(N, L, S, E, H) = {shape}, {label:7s}: tessom {t_ours * 1e3:7.2f} ms, torch {t_torch * 1e3:7.2f} ms, ratio {ratio:.2f}")
    print(f"worst ratio tessom / torch (forward + backward, float64): {max(ratios):.2f} (aim: <= 2)")


if __name__ == "__main__":
    main()
