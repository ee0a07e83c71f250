"""The LM trainer: the training pass against a plain loop, token-weighted validation, accumulation,
schedulers, checkpoints and resume, and generation that goes on after a failed configuration."""

import abc
import copy
import math
import os

import pytest
import torch
import torch.nn.functional as F
from conftest import TEXTS, lm_config, lm_model, loader, write_partition

from velkor.data import LMDataset
from velkor.decoding.maravex import SequenceGenerator
from velkor.trainers import LMTrainer

METRICS = ["ce_loss_token", "ce_loss_char", "perplexity_token", "perplexity_char"]


@pytest.fixture
def build(tokenizer, config_file, capsys):
    """build(model=None, scheduler="step", lr=0.01, **training) -> LMTrainer with an AdamW optimizer."""

    def make(model=None, scheduler="step", lr=0.01, run="run", **training):
        trainer = LMTrainer(model or lm_model(tokenizer), tokenizer, lm_config(**training), run, config_file, device="cpu")
        trainer.optimizer = torch.optim.AdamW(trainer.model.parameters(), lr=lr)
        if scheduler == "step":
            trainer.scheduler = torch.optim.lr_scheduler.StepLR(trainer.optimizer, step_size=1000)
        elif scheduler == "plateau":
            trainer.scheduler = torch.optim.lr_scheduler.ReduceLROnPlateau(trainer.optimizer, patience=0)
        capsys.readouterr()
        return trainer

    return make


def dataset(tokenizer, workdir, texts, name):
    write_partition(workdir / "extra", name, texts)
    return LMDataset(name, {"root": str(workdir / "extra")}, tokenizer)


def test_epochs_run_and_loss_falls(build, lm_data, capsys):
    train, val = lm_data
    trainer = build(amp_dtype=None)  # the device default: bfloat16 autocast on the CPU
    assert type(LMTrainer) is abc.ABCMeta and LMTrainer.__abstractmethods__ == frozenset()
    assert list(vars(trainer))[-2:] == ["amp_dtype", "criterion"] and trainer.amp_dtype is torch.bfloat16
    assert (trainer.criterion.ignore_index, trainer.criterion.label_smoothing) == (trainer.tokenizer.pad_id, 0.0)
    trainer.train(loader(train), loader(val), 2)

    history = trainer.training_history
    assert [h["epoch"] for h in history] == [0, 1] and trainer.current_epoch == 2
    for split, data in [("train", train), ("val", val)]:
        assert history[0][split]["ce_loss_token"] > history[1][split]["ce_loss_token"]
        m = history[-1][split]
        assert list(m) == METRICS and m["ce_loss_char"] == pytest.approx(m["ce_loss_token"] / data.get_avg_chars_per_token())
        assert (m["perplexity_token"], m["perplexity_char"]) == pytest.approx((math.exp(m["ce_loss_token"]), math.exp(m["ce_loss_char"])))
    assert trainer.best_metric == min(h["val"]["ce_loss_char"] for h in history) and not trainer.model.training

    out = capsys.readouterr().out
    assert out.count("Generating with greedy search...") == 2 and "📊 Metrics (Epoch 1):" in out
    assert sorted(os.listdir(trainer.checkpoint_dir)) == ["checkpoint-best-metric-model.pth", "checkpoint-last-epoch-model.pth"]
    assert sorted(os.listdir(trainer.attn_dir)) == sorted(f"{s}_self_attention_epoch{e}.png" for s in ["train", "val"] for e in range(2))
    assert sorted(os.listdir(trainer.text_dir)) == ["text_val_epoch_0.json", "text_val_epoch_1.json"]
    assert torch.load(trainer.last_model_path, weights_only=True)["epoch"] == 1


def test_validation_loss_is_token_weighted(build, lm_data, tokenizer):
    _, val = lm_data
    batches = loader(val, batch_size=4)  # batches of 4 and 2 texts: different token counts and losses
    trainer = build()
    metrics, attention = trainer._validate_epoch(batches)
    total, tokens = 0.0, 0
    with torch.no_grad():
        for x, y, lengths in batches:
            logits, _ = trainer.model(x, target_lengths=lengths)
            total += F.cross_entropy(logits.flatten(0, 1), y.flatten(), ignore_index=tokenizer.pad_id).item() * lengths.sum().item()
            tokens += lengths.sum().item()
    assert metrics["ce_loss_token"] == pytest.approx(total / tokens, rel=1e-6)
    assert next(iter(attention.values())).shape[0] == 2  # the last batch's maps


class Batches:
    """A fixed list of batches that looks like a data loader."""

    def __init__(self, batches, dataset):
        self.batches, self.dataset = batches, dataset

    def __len__(self):
        return len(self.batches)

    def __iter__(self):
        return iter(self.batches)


def test_training_pass_matches_plain_loop(build, lm_data, tokenizer):
    train, _ = lm_data
    batches = list(loader(train, batch_size=4))  # 3 batches, G = 2: two updates, one of them the flush
    model = lm_model(tokenizer)
    expected = copy.deepcopy(model).train()
    optimizer = torch.optim.AdamW(expected.parameters(), lr=0.05)
    for i, (x, y, lengths) in enumerate(batches):
        logits, _ = expected(x, target_lengths=lengths)
        (F.cross_entropy(logits.flatten(0, 1), y.flatten(), ignore_index=tokenizer.pad_id) / 2).backward()
        if i % 2 == 1 or i == len(batches) - 1:
            optimizer.step()
            optimizer.zero_grad()
    trainer = build(model=model, lr=0.05, gradient_accumulation_steps=2)
    trainer._train_epoch(Batches(batches, train))
    for (name, got), want in zip(trainer.model.named_parameters(), expected.parameters()):
        torch.testing.assert_close(got, want, rtol=1e-5, atol=1e-6, msg=name)


@pytest.mark.parametrize("num_batches, updates", [(5, 3), (4, 2)])
def test_accumulation_steps_and_flush(build, tokenizer, workdir, num_batches, updates):
    data = dataset(tokenizer, workdir, TEXTS[:num_batches], f"b{num_batches}")
    trainer = build(gradient_accumulation_steps=2)
    trainer._train_epoch(loader(data, batch_size=1))
    assert {int(state["step"]) for state in trainer.optimizer.state.values()} == {updates}
    assert trainer.scheduler.last_epoch == updates
    assert all(p.grad is None or not p.grad.any() for p in trainer.model.parameters())


def test_plateau_scheduler_steps_once_per_epoch(build, lm_data):
    train, val = lm_data
    trainer = build(scheduler="plateau")
    trainer.train(loader(train), loader(val), 2)
    assert trainer.scheduler.last_epoch == 2  # never inside the passes (3 batches each)
    assert trainer.scheduler.best == min(h["val"]["ce_loss_char"] for h in trainer.training_history)


def test_checkpoints_round_trip_and_resume(build, lm_data, capsys):
    train, val = lm_data
    first = build(run="a")
    first.train(loader(train), loader(val), 1)
    resumed = build(run="a")
    resumed.load_checkpoint("checkpoint-best-metric-model.pth")
    assert capsys.readouterr().out.splitlines()[-2:] == [
        "Checkpoint loaded from epoch 0",
        "Successfully loaded: model, optimizer, scheduler, scaler, training_state",
    ]
    assert (resumed.current_epoch, resumed.best_metric, resumed.training_history) == (0, first.best_metric, first.training_history)
    assert all(torch.equal(a, b) for a, b in zip(resumed.model.parameters(), first.model.parameters()))
    assert resumed.optimizer.state_dict()["state"][0]["step"] == 3
    resumed.train(loader(train), loader(val), 1)
    assert [h["epoch"] for h in resumed.training_history] == [0, 0] and resumed.current_epoch == 1


def test_best_checkpoint_needs_strict_improvement(build, lm_data):
    train, val = lm_data
    trainer = build(lr=0.0)  # the validation loss never changes
    trainer.train(loader(train), loader(val), 2)
    assert torch.load(trainer.best_model_path, weights_only=True)["epoch"] == 0
    assert torch.load(trainer.last_model_path, weights_only=True)["epoch"] == 1
    trainer.train(loader(train), loader(val), 1)  # a new call always writes the best checkpoint
    assert torch.load(trainer.best_model_path, weights_only=True)["epoch"] == 2


def test_train_checks(build, lm_data):
    train, val = lm_data
    trainer = build(scheduler=None)
    optimizer, trainer.optimizer = trainer.optimizer, None
    with pytest.raises(ValueError, match="^Scheduler is not initialized, initialize it first!$"):
        trainer.train(loader(train), loader(val), 0)
    trainer.scheduler = torch.optim.lr_scheduler.StepLR(optimizer, 1)
    with pytest.raises(ValueError, match="^Optimizer is not initialized, initialize it first!$"):
        trainer.train(loader(train), loader(val), 1)
    trainer.optimizer = optimizer
    with pytest.raises(TypeError, match="Argument 'epochs' must be of type int, got str"):
        trainer.train(loader(train), loader(val), "1")
    trainer.train(loader(train), loader(val), 0.0)
    assert trainer.training_history == [] and os.listdir(trainer.checkpoint_dir) == []


def test_failed_sample_generation_keeps_the_epoch(build, lm_data, tokenizer, workdir, capsys):
    train, _ = lm_data
    short = dataset(tokenizer, workdir, ["a short one", "tiny", "no more"], "short")  # no text beyond 20 tokens
    trainer = build()
    trainer.train(loader(train), loader(short), 1)
    assert "Could not generate results for validation: " in capsys.readouterr().out
    assert [h["epoch"] for h in trainer.training_history] == [0] and trainer.current_epoch == 1
    assert sorted(os.listdir(trainer.checkpoint_dir)) == ["checkpoint-best-metric-model.pth", "checkpoint-last-epoch-model.pth"]
    assert os.listdir(trainer.text_dir) == []


def test_evaluation_goes_on_after_a_failed_configuration(build, lm_data, capsys):
    _, val = lm_data
    trainer = build()
    trainer.current_epoch = 7
    common = {"num_samples": 50, "prompt_length": 10, "seed": 52719, "max_length": 64, "temperature": 1.0}
    assert trainer._get_evaluation_generation_configs() == {
        "greedy": {**common, "beam_width": 1, "repeat_penalty": 1.0, "top_k": 0, "top_p": 0.0},
        "beam": {**common, "beam_width": 10, "repeat_penalty": 1.2, "top_k": 0, "top_p": 0.0},
        "sample": {**common, "beam_width": 1, "repeat_penalty": 1.0, "top_k": 10, "top_p": 0.95},
    }
    real_generate = trainer.generate

    def generate(dataloader, generation_config=None):
        if generation_config["beam_width"] > 1:
            raise RuntimeError("beam search broke")
        return real_generate(dataloader, generation_config)

    trainer.generate = generate
    metrics, results = trainer.evaluate(loader(val))
    out = capsys.readouterr().out
    assert "Could not generate results for beam: beam search broke\n" in out and "📊 Metrics (Epoch 7):\n└── TEST:" in out
    assert list(results) == ["greedy", "sample"] and len(results["greedy"]) == len(val) and list(metrics) == METRICS
    assert sorted(os.listdir(trainer.text_dir)) == ["text_test_epoch_7_greedy.json", "text_test_epoch_7_sample.json"]
    assert os.listdir(trainer.attn_dir) == ["test_self_attention_epoch7.png"]
    assert list(trainer.training_history[-1]) == ["epoch", "test", "lr"] and trainer.training_history[-1]["epoch"] == 7


@pytest.fixture
def spy(monkeypatch):
    """Records the strategy calls the trainer makes on the real generator."""
    calls = []
    for method in ["generate_greedy", "generate_sample", "generate_beam"]:
        real = getattr(SequenceGenerator, method)

        def wrapper(self, x, *args, _real=real, _name=method, **kwargs):
            calls.append((_name, tuple(x.shape), self.max_length, kwargs, self.score_fn))
            return _real(self, x, *args, **kwargs)

        monkeypatch.setattr(SequenceGenerator, method, wrapper)
    return calls


@pytest.mark.parametrize(
    "config, line, call",
    [
        (None, "greedy search", ("generate_greedy", (6, 20), {"temperature": 1.0, "repeat_penalty": 1.0})),
        ({"max_length": 3}, "greedy search", ("generate_greedy", (6, 10), {"temperature": 1.0, "repeat_penalty": 1.0})),
        ({"top_k": 5, "num_samples": 2}, "sampling", ("generate_sample", (2, 10), {"temperature": 1.0, "top_k": 5, "top_p": 1.0})),
        ({"top_p": 0.9, "temperature": 0.5}, "sampling", ("generate_sample", (6, 10), {"temperature": 0.5, "top_k": 0, "top_p": 0.9})),
        (
            {"beam_width": 4},
            "beam search",
            ("generate_beam", (6, 10), {"beam_width": 4, "temperature": 1.0, "repeat_penalty": 1.0, "length_penalty": 0.0}),
        ),
    ],
)
def test_generation_strategy(build, lm_data, tokenizer, spy, capsys, config, line, call):
    _, val = lm_data
    trainer = build()
    records = trainer.generate(loader(val), config)
    assert capsys.readouterr().out == f"Generating with {line}...\n"
    name, shape, max_length, kwargs, _ = spy[0]
    assert (name, shape, kwargs, max_length) == (*call, trainer.model.max_len)
    assert len(records) == shape[0] and all(list(r) == ["prompt", "original", "generated", "score"] for r in records)
    full = {tokenizer.decode(s) for s in val.transcripts_shifted}
    assert all(r["prompt"] + r["original"] in full and isinstance(r["score"], float) for r in records)


@pytest.mark.parametrize("incremental", [True, False])
def test_greedy_generation_matches_reference(build, lm_data, tokenizer, spy, incremental):
    train, val = lm_data
    trainer = build()
    trainer._train_epoch(loader(train))  # a model with preferences
    records = trainer.generate(loader(val), {"num_samples": 3, "incremental": incremental})
    assert hasattr(spy[0][4], "start") == incremental  # cached keys and values, or model.score on the full prefix
    prompts, _ = val.sample_prompts(num_samples=3, prompt_length=10, seed=52719)
    for record, prompt in zip(records, prompts.tolist()):
        seq, score = list(prompt), 0.0  # argmax continuation on the full prefix
        with torch.no_grad():
            while len(seq) < trainer.model.max_len:
                log_probs = trainer.model.score(torch.tensor([seq])).log_softmax(-1)[0]
                seq.append(int(log_probs.argmax()))
                score += float(log_probs[seq[-1]])
                if seq[-1] == tokenizer.eos_id:
                    break
        ended = seq[-1] == tokenizer.eos_id  # the text stops before the end token
        assert record["prompt"] == tokenizer.decode(prompt) and record["generated"] == tokenizer.decode(seq[len(prompt) : len(seq) - ended])
        assert record["score"] == pytest.approx(score, abs=1e-3)
    cached, full = (trainer.generate(loader(val), {"beam_width": 3, "incremental": flag}) for flag in (True, False))
    assert [r["generated"] for r in cached] == [r["generated"] for r in full]
    assert [r["score"] for r in cached] == pytest.approx([r["score"] for r in full], abs=1e-4)
    with pytest.raises(TypeError, match="Argument 'generation_config' must be of type dict, got list"):
        trainer.generate(loader(val), [])


class FavouriteToken:
    """A model class whose `score` prefers one token by a wide margin; `both` also overrides the
    incremental scorer (which then stands for the override and is used)."""

    @staticmethod
    def model(tokenizer, favourite, both):
        from velkor.model import DecoderOnlyTransformer

        class Favouring(DecoderOnlyTransformer):
            def score(self, x):
                out = super().score(x).clone()
                out[:, favourite] += 30.0
                return out

        if both:
            Favouring.incremental_scorer = lambda self: DecoderOnlyTransformer.incremental_scorer(self)
        return Favouring(num_classes=tokenizer.num_classes, d_model=16, num_layers=1, num_heads=2, d_ff=32, max_len=24)


@pytest.mark.parametrize("both", [False, True])
@pytest.mark.parametrize("config", [{}, {"beam_width": 3}])
def test_a_class_overriding_score_alone_is_decoded_with_its_score(build, lm_data, tokenizer, spy, both, config):
    _, val = lm_data
    favourite = tokenizer.encode("q")[0]
    trainer = build(model=FavouriteToken.model(tokenizer, favourite, both))
    records = trainer.generate(loader(val), {"num_samples": 2, **config})
    assert hasattr(spy[0][4], "start") == both
    if both:
        return
    full = trainer.generate(loader(val), {"num_samples": 2, "incremental": False, **config})
    assert records == full
    assert all(set(r["generated"]) == {"q"} for r in records)  # the override decides every token


@pytest.mark.parametrize("config", [{}, {"beam_width": 3}, {"top_k": 3}, {"beam_width": 3, "length_penalty": 1.0}])
def test_generated_text_ends_where_the_model_ends_it(build, lm_data, tokenizer, config):
    # A model that ends after one letter: greedy search and sampling write padding in place of the
    # end token, beam search pads after it; the text holds the letter alone either way.
    _, val = lm_data
    trainer = build(model=FavouriteToken.model(tokenizer, tokenizer.eos_id, False))
    q = tokenizer.encode("q")[0]
    score = trainer.model.score
    trainer.model.score = lambda x: (
        score(x) + 60.0 * torch.nn.functional.one_hot(torch.full(x.shape[:1], q), tokenizer.num_classes) * (x.shape[1] == 10)
    )
    records = trainer.generate(loader(val), {"num_samples": 2, "incremental": False, **config})
    assert [r["generated"] for r in records] == ["q", "q"]


@pytest.mark.parametrize("terminal", [False, True])
def test_progress_bars_write_whole_lines_off_a_terminal(build, lm_data, monkeypatch, terminal):
    import io

    class Stream(io.StringIO):
        def isatty(self):
            return terminal

    _, val = lm_data
    trainer = build()
    stream = Stream()
    monkeypatch.setattr("sys.stderr", stream)
    trainer._validate_epoch(loader(val, batch_size=1))
    out = stream.getvalue()
    assert "[Validating LM]" in out
    if terminal:  # redrawn in place, as tqdm does
        assert "\r" in out
    else:  # a log gets whole lines, each a complete status, down to the final one
        assert "\r" not in out and out.endswith("\n")
        assert all(line.startswith("[Validating LM]") for line in out.splitlines())
        assert out.splitlines()[-1].startswith(f"[Validating LM]: 100%|##########| {len(val)}/{len(val)} ")
