"""Data-parallel training on two CPU processes (gloo) started by torchrun: one update of two processes with
batch b is that of one process with batch 2b over the same data (the oracle), only rank 0 writes, a
checkpoint moves between process counts, and a failing rank ends the job naming itself."""

import json
import os
import subprocess
import sys

import pytest
import torch

import tiny

HERE = os.path.dirname(__file__)
SRC = os.path.join(HERE, "..", "..", "src")


def environment():
    env = dict(os.environ, OMP_NUM_THREADS="1", PYTHONPATH=os.pathsep.join([os.path.abspath(SRC), os.path.abspath(os.path.join(HERE, ".."))]))
    for name in ("RANK", "WORLD_SIZE", "LOCAL_RANK", "MASTER_ADDR", "MASTER_PORT"):
        env.pop(name, None)
    return env


def torchrun(nproc, *command, timeout=120):
    """Runs `python COMMAND...` on nproc processes; returns the completed process."""
    argv = [sys.executable, "-m", "torch.distributed.run", "--standalone", f"--nproc-per-node={nproc}", *command]
    return subprocess.run(argv, env=environment(), capture_output=True, text=True, timeout=timeout)


@pytest.fixture(scope="module")
def corpora(tmp_path_factory):
    root = tmp_path_factory.mktemp("corpora")
    tiny.write_lm_partition(root / "lm", "train", tiny.TEXTS)
    tiny.write_lm_partition(root / "lm", "val", tiny.TEXTS[:5])
    tiny.write_asr_partition(root / "asr", "train", 12, seed=0)
    tiny.write_asr_partition(root / "asr", "val", 7, seed=1)
    return root


def close(a, b):
    return abs(a - b) <= 1e-5 * max(1.0, abs(a))


@pytest.mark.parametrize("task", ["lm", "asr"])
def test_two_processes_update_as_one_with_twice_the_batch(corpora, tmp_path, task):
    worker = os.path.join(HERE, "worker.py")
    one, two = tmp_path / "one", tmp_path / "two"
    one.mkdir(), two.mkdir()
    alone = subprocess.run([sys.executable, worker, task, str(corpora / task), str(one), "4", "2"], env=environment(),
                           capture_output=True, text=True, timeout=120)  # fmt: skip
    assert alone.returncode == 0, alone.stderr[-3000:]
    pair = torchrun(2, worker, task, str(corpora / task), str(two), "2", "2")
    assert pair.returncode == 0, pair.stderr[-3000:]

    expected, got = torch.load(one / "parameters.pt"), torch.load(two / "parameters.pt")
    assert expected.keys() == got.keys() and not any(k.startswith("module.") for k in got)
    for name in expected:
        torch.testing.assert_close(got[name], expected[name], rtol=0, atol=1e-5, msg=name)
    [logged_one], [logged_two] = json.loads((one / "history.json").read_text()), json.loads((two / "history.json").read_text())
    for split in ("train", "val"):
        assert logged_one[split].keys() == logged_two[split].keys()
        for metric, value in logged_one[split].items():
            assert close(logged_two[split][metric], value), (split, metric, logged_two[split][metric], value)
    # Rank 0 alone wrote the experiment.
    assert sorted(os.listdir(two / "expts" / "run" / "checkpoints")) == sorted(os.listdir(one / "expts" / "run" / "checkpoints"))
