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

import velkor

HERE = os.path.dirname(__file__)
# The children import velkor from wherever this process found it: the source tree of an in-place
# build or the installed package.
PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(velkor.__file__)))


def environment():
    env = dict(os.environ, OMP_NUM_THREADS="1", PYTHONPATH=os.pathsep.join([PACKAGE_ROOT, os.path.abspath(os.path.join(HERE, ".."))]))
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


@pytest.fixture(scope="module")
def one_and_two(corpora, tmp_path_factory):
    """The worker's runs alone with batch 4 and on two processes with batch 2 (accumulation 2 both)."""
    worker = os.path.join(HERE, "worker.py")
    one, two = tmp_path_factory.mktemp("one"), tmp_path_factory.mktemp("two")
    alone = subprocess.run(
        [sys.executable, worker, str(corpora), str(one), "4", "2"], env=environment(), capture_output=True, text=True, timeout=120
    )
    assert alone.returncode == 0, alone.stderr[-3000:]
    pair = torchrun(2, worker, str(corpora), str(two), "2", "2")
    assert pair.returncode == 0, pair.stderr[-3000:]
    return one, two


@pytest.mark.parametrize("task", ["lm", "asr"])
def test_two_processes_update_as_one_with_twice_the_batch(one_and_two, task):
    one, two = (root / task for root in one_and_two)
    expected, got = torch.load(one / "parameters.pt"), torch.load(two / "parameters.pt")
    assert expected.keys() == got.keys() and not any(k.startswith("module.") for k in got)
    for name in expected:
        torch.testing.assert_close(got[name], expected[name], rtol=0, atol=1e-5, msg=name)
    [logged_one], [logged_two] = json.loads((one / "history.json").read_text()), json.loads((two / "history.json").read_text())
    for split in ("train", "val"):
        assert logged_one[split].keys() == logged_two[split].keys()
        for metric, value in logged_one[split].items():
            assert close(logged_two[split][metric], value), (split, metric, logged_two[split][metric], value)
    # Rank 0 alone wrote the experiment: the same files as one process.
    for folder in ("checkpoints", "text", "attn"):
        assert sorted(os.listdir(two / "expts" / "run" / folder)) == sorted(os.listdir(one / "expts" / "run" / folder))


def test_progressive_stages_that_drop_and_freeze_layers_train_on_two_processes(one_and_two):
    _, two = one_and_two
    logged = json.loads((two / "progressive" / "history.json").read_text())
    assert [r["epoch"] for r in logged] == [0, 1] and all(r["train"]["ctc_loss"] == 0 for r in logged)


LM = {
    "name": "tiny-lm",
    "task": "lm",
    "data": {"root": "data/lm", "batch_size": 4},
    "model": {"d_model": 16, "num_layers": 1, "num_heads": 2, "d_ff": 32, "max_len": 128},
    "optimizer": {"name": "adam", "lr": 0.001},
    "scheduler": {"name": "cosine"},
    "training": {"epochs": 1, "threads": 1},
}


@pytest.fixture
def lm_experiment(tmp_path, monkeypatch):
    """A prepared tiny LM corpus and its configuration lm.yaml in the working directory; the processes
    torchrun starts import this checkout."""
    import yaml

    from velkor import cli
    from velkor.data import prepare

    monkeypatch.chdir(tmp_path)
    for name, value in environment().items():
        monkeypatch.setenv(name, value)
    lines = [s for s in open(prepare.embedded_text("lm"), encoding="utf-8").read().splitlines() if len(s) <= 60][:30]
    (tmp_path / "lm.txt").write_text("\n".join(lines) + "\n")
    assert cli.main(["prepare", "text", "lm.txt", "data/lm", "--splits", "train=0.8,dev=0.1,test=0.1"]) == 0

    def configure(epochs):
        (tmp_path / "lm.yaml").write_text(yaml.safe_dump({**LM, "training": {**LM["training"], "epochs": epochs}}))

    configure(1)
    return tmp_path / "expts" / "tiny-lm", configure


def history(expt):
    return [r["epoch"] for r in json.loads((expt / "training_history.json").read_text())]


# The launcher cannot install its fault handler on pytest's captured standard error.
@pytest.mark.filterwarnings("ignore:Unable to enable fault handler")
def test_one_experiment_written_by_two_processes_resumes_on_one_and_back(lm_experiment, capsys):
    from velkor import cli

    expt, configure = lm_experiment
    assert cli.main(["train", "--nproc", "2", "lm.yaml"]) == 0
    names = sorted(os.listdir(expt / "checkpoints"))
    assert names == ["checkpoint-best-metric-model.pth", "checkpoint-last-epoch-model.pth"]  # no temporary file left
    assert history(expt) == [0] and (expt / "tokenizer.json").is_file()
    state = torch.load(expt / "checkpoints" / names[1], weights_only=True)["model_state_dict"]
    assert not any(key.startswith("module.") for key in state)
    configure(2)
    assert cli.main(["train", "lm.yaml", "--resume"]) == 0
    assert history(expt) == [0, 1]
    configure(3)
    assert cli.main(["train", "--nproc", "2", "lm.yaml", "--resume"]) == 0
    assert history(expt) == [0, 1, 2]


@pytest.mark.parametrize("how", ["kill", "raise"])
def test_a_rank_that_stops_ends_the_job_and_resume_goes_on(lm_experiment, how):
    import time

    from velkor import cli

    expt, configure = lm_experiment
    configure(2)
    start = time.monotonic()
    run = torchrun(2, os.path.join(HERE, "stopping.py"), how, "train", "lm.yaml", "--collective-timeout", "30")
    assert run.returncode != 0 and time.monotonic() - start < 60
    assert "local_rank: 1" in run.stderr and ("exitcode: -9" if how == "kill" else "exitcode: 1") in run.stderr
    if how == "raise":
        assert "velkor: rank 1 of 2 stopped: RuntimeError: rank 1 stopped on purpose" in run.stderr
    assert history(expt) == [0]
    assert cli.main(["train", "lm.yaml", "--resume"]) == 0
    assert history(expt) == [0, 1]
