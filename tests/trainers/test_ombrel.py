"""Speech trainers end to end on synthetic filter banks: the joint loss against plain PyTorch, the update
schedule, the epoch loop, recognition with fusion, metrics and the staged trainer."""

import json
import os

import numpy as np
import pytest
import torch
import torch.nn.functional as F

from velkor.data.brenvik import ASRDataset
from velkor.decoding import SequenceGenerator
from velkor.model import EncoderDecoderTransformer
from velkor.trainers.ombrel import ASRTrainer, ProgressiveTrainer

WORDS = ["ab", "ba", "cab", "abc", "c"]
# Subset loaders pin memory (pin_memory=True, for fast copies to a GPU), which torch reports as useless
# on a machine without CUDA.
PIN_MEMORY = pytest.mark.filterwarnings("ignore:'pin_memory' argument is set as true:UserWarning")
NUM_FEATS = 8


def write_asr_partition(root, partition, count, seed, transcripts=True):
    rng = np.random.default_rng(seed)
    os.makedirs(os.path.join(root, partition, "fbank"))
    if transcripts:
        os.makedirs(os.path.join(root, partition, "text"))
    for i in range(count):
        feats = rng.normal(size=(NUM_FEATS, int(rng.integers(12, 24)))).astype(np.float32)
        np.save(os.path.join(root, partition, "fbank", f"u{i:03d}.npy"), feats)
        if transcripts:
            text = " ".join(rng.choice(WORDS, size=2))
            np.save(os.path.join(root, partition, "text", f"u{i:03d}.npy"), np.array(list(text)))


@pytest.fixture
def asr_data(workdir, tokenizer):
    """Datasets by name: "train" (12 utterances), "dev" (6), "ten" and "eight" (training partitions of 10 and 8),
    "test" (5, without transcripts)."""
    root = str(workdir / "speech")
    write_asr_partition(root, "train-clean-100", 12, 0)
    write_asr_partition(root, "dev-clean", 6, 1)
    write_asr_partition(root, "test-clean", 5, 2, transcripts=False)
    config = {
        "root": root,
        "num_feats": NUM_FEATS,
        "norm": "cepstral",
        "specaug": False,
        "specaug_conf": {"time_mask_width_range": 2, "freq_mask_width_range": 2},
    }
    return {
        "train": ASRDataset("train-clean-100", config, tokenizer, True),
        "dev": ASRDataset("dev-clean", config, tokenizer, False),
        "ten": ASRDataset("train-clean-100", dict(config, subset_size=10), tokenizer, True),
        "eight": ASRDataset("train-clean-100", dict(config, subset_size=8), tokenizer, True),
        "test": ASRDataset("test-clean", config, tokenizer, False),
    }


def loader(dataset, batch_size=4):
    return torch.utils.data.DataLoader(dataset, batch_size=batch_size, collate_fn=dataset.collate_fn)


def asr_config(ctc_weight=0.5, steps=1, label_smoothing=0.0, amp_dtype="float32"):
    """amp_dtype None leaves the key out (the default precision: bfloat16 autocast on the CPU)."""
    training = (
        {"gradient_accumulation_steps": steps} if amp_dtype is None else {"gradient_accumulation_steps": steps, "amp_dtype": amp_dtype}
    )
    return {
        "data": {"batch_size": 2, "num_feats": NUM_FEATS, "NUM_WORKERS": 0},
        "training": training,
        "loss": {"label_smoothing": label_smoothing, "ctc_weight": ctc_weight},
    }


@pytest.fixture
def make_trainer(tokenizer, config_file, capsys):
    def make(cls=ASRTrainer, lr=3e-3, scheduler=None, **config):
        torch.manual_seed(0)
        model = EncoderDecoderTransformer(
            input_dim=NUM_FEATS,
            num_classes=tokenizer.num_classes,
            d_model=16,
            num_encoder_layers=2,
            num_decoder_layers=2,
            num_encoder_heads=2,
            num_decoder_heads=2,
            d_ff_encoder=32,
            d_ff_decoder=32,
            dropout=0.0,
            time_reduction=2,
        )
        trainer = cls(model, tokenizer, asr_config(**config), "asr", config_file, device="cpu")
        trainer.optimizer = torch.optim.AdamW(trainer.model.parameters(), lr=lr)
        trainer.scheduler = (scheduler or (lambda o: torch.optim.lr_scheduler.LambdaLR(o, lambda _: 1.0)))(trainer.optimizer)
        capsys.readouterr()
        return trainer

    return make


# ---------------------------------------------------------------------------------------------
# Training


def test_default_configuration_trains_on_the_cpu(make_trainer, asr_data):
    """The default front-end ("lstm") under the default mixed precision (bfloat16 autocast on the CPU)."""
    trainer = make_trainer(amp_dtype=None)
    assert trainer.amp_dtype == torch.bfloat16 and trainer.model.source_embedding.blstm is not None
    dtypes = []
    trainer.model.register_forward_hook(lambda module, args, out: dtypes.append(out[0].dtype))
    before = [p.detach().clone() for p in trainer.model.parameters()]
    metrics, _ = trainer._train_epoch(loader(asr_data["eight"]))
    assert dtypes == [torch.bfloat16] * 2 and all(np.isfinite(v) for v in metrics.values())
    assert sum(not torch.equal(a, b) for a, b in zip(before, trainer.model.parameters())) > 10


def test_loss_falls_and_each_epoch_is_logged_and_saved(make_trainer, asr_data):
    trainer = make_trainer()
    trainer.train(loader(asr_data["train"]), loader(asr_data["dev"], 3), 3)
    joint = [record["train"]["joint_loss"] for record in trainer.training_history]
    assert joint[0] > joint[1] > joint[2]
    assert [record["epoch"] for record in trainer.training_history] == [0, 1, 2] and trainer.current_epoch == 3
    assert list(trainer.training_history[0]["train"]) == ["ce_loss", "ctc_loss", "joint_loss", "perplexity_token", "perplexity_char"]
    assert list(trainer.training_history[0]["val"]) == ["word_dist", "wer", "cer"]
    assert trainer.text_max_len == max(asr_data["train"].text_max_len, asr_data["dev"].text_max_len)
    attn = sorted(os.listdir(trainer.attn_dir))
    assert attn == sorted(f"decoder_{kind}_attention_epoch{e}.png" for kind in ("self", "cross") for e in range(3))
    with open(os.path.join(trainer.text_dir, "text_val_epoch_2.json")) as f:
        records = json.load(f)
    assert len(records) == 6 and all(list(r) == ["target", "generated", "score"] for r in records)
    assert [r["target"] for r in records] == ["".join(np.load(p).tolist()) for p in asr_data["dev"].text_files]
    assert sorted(os.listdir(trainer.checkpoint_dir)) == ["checkpoint-best-metric-model.pth", "checkpoint-last-epoch-model.pth"]


@pytest.mark.parametrize("ctc_weight", [0.0, 0.5])
def test_joint_loss_matches_plain_pytorch(make_trainer, asr_data, ctc_weight, tokenizer):
    """With a learning rate of 0 the pass reports the token-weighted mean of losses recomputed batch by batch."""
    trainer = make_trainer(ctc_weight=ctc_weight, lr=0.0)
    assert (trainer.ctc_criterion is None) == (ctc_weight == 0)
    if ctc_weight:
        assert trainer.ctc_criterion.blank == tokenizer.pad_id and trainer.ctc_criterion.zero_infinity
    train = loader(asr_data["train"], 5)  # batches of 5, 5 and 2 utterances
    metrics, attention = trainer._train_epoch(train)

    ce_sum = ctc_sum = tokens = 0.0
    model = trainer.model
    with torch.no_grad():
        for feats, shifted, golden, feat_lengths, lengths in train:
            logits, _, ctc_inputs = model(feats, shifted, feat_lengths, lengths)
            ce = F.cross_entropy(logits.reshape(-1, logits.size(-1)), golden.reshape(-1), ignore_index=tokenizer.pad_id)
            ctc = F.ctc_loss(ctc_inputs["log_probs"], golden, ctc_inputs["lengths"], lengths, blank=tokenizer.pad_id, zero_infinity=True)
            n = lengths.sum().item()
            ce_sum, ctc_sum, tokens = ce_sum + ce.item() * n, ctc_sum + ctc.item() * n, tokens + n
    expected_ctc = ctc_sum / tokens if ctc_weight else 0.0
    assert metrics["ce_loss"] == pytest.approx(ce_sum / tokens, rel=1e-5)
    assert metrics["ctc_loss"] == pytest.approx(expected_ctc, rel=1e-5)
    assert metrics["joint_loss"] == pytest.approx(ce_sum / tokens + ctc_weight * expected_ctc, rel=1e-5)
    assert metrics["perplexity_token"] == pytest.approx(np.exp(ce_sum / tokens), rel=1e-5)
    chars = asr_data["train"].get_avg_chars_per_token()
    assert metrics["perplexity_char"] == pytest.approx(np.exp(ce_sum / tokens / chars), rel=1e-5)
    assert set(attention) >= {"layer1_dec_self", "layer2_dec_cross"} and attention["layer1_dec_self"].shape[0] == 2


@pytest.mark.parametrize("dataset, steps_after", [("ten", [4, 8, 10]), ("eight", [4, 8])])
def test_gradient_accumulation_and_the_flush(make_trainer, asr_data, dataset, steps_after):
    trainer = make_trainer(steps=4)
    batches_seen, steps = [0], []
    trainer.model.register_forward_pre_hook(lambda *_: batches_seen.__setitem__(0, batches_seen[0] + 1))
    trainer.optimizer.register_step_post_hook(lambda *_: steps.append(batches_seen[0]))
    trainer._train_epoch(loader(asr_data[dataset], 1))
    assert steps == steps_after
    assert trainer.scheduler.last_epoch == len(steps_after)
    assert all(p.grad is None for p in trainer.model.parameters())


def test_plateau_scheduler_follows_validation_cer_and_train_twice(make_trainer, asr_data):
    calls, saves = [], []

    class Plateau(torch.optim.lr_scheduler.ReduceLROnPlateau):
        def step(self, *args):
            calls.append(args)
            super().step(*args)

    plateau = make_trainer(scheduler=lambda o: Plateau(o, patience=0))
    save = plateau.save_checkpoint
    plateau.save_checkpoint = lambda name: (saves.append((plateau.current_epoch, name)), save(name))
    train, dev = loader(asr_data["train"]), loader(asr_data["dev"], 3)
    plateau.train(train, dev, 2)
    plateau.best_metric = -1.0  # as if a better model had been loaded: the next call still writes its own best
    plateau.train(train, dev, 1)
    assert calls == [(record["val"]["cer"],) for record in plateau.training_history]
    assert [record["epoch"] for record in plateau.training_history] == [0, 1, 2]
    assert (0, "checkpoint-best-metric-model.pth") in saves and (2, "checkpoint-best-metric-model.pth") in saves
    assert [name for epoch, name in saves if name.startswith("checkpoint-last")] == ["checkpoint-last-epoch-model.pth"] * 3
    assert plateau.best_metric == plateau.training_history[2]["val"]["cer"]


def test_no_images_without_decoder_attention_and_missing_objects(make_trainer, asr_data):
    trainer = make_trainer()
    forward = trainer.model.forward

    def renamed(*args):
        logits, attention, ctc = forward(*args)
        return logits, {key.replace("dec_", "x_"): value for key, value in attention.items()}, ctc

    trainer.model.forward = renamed
    trainer.train(loader(asr_data["train"]), loader(asr_data["dev"], 3), 1)
    assert os.listdir(trainer.attn_dir) == []
    with pytest.raises(ZeroDivisionError, match="yielded no transcript tokens"):
        trainer._train_epoch(torch.utils.data.DataLoader([]))
    trainer.scheduler = None
    with pytest.raises(ValueError, match="^Scheduler is not initialized, initialize it first!$"):
        trainer.train(None, None, 1)
    trainer.scheduler, trainer.optimizer = 1, None
    with pytest.raises(ValueError, match="^Optimizer is not initialized, initialize it first!$"):
        trainer.train(None, None, 1)


# ---------------------------------------------------------------------------------------------
# Recognition


class StandInLM(torch.nn.Module):
    def __init__(self, table):
        super().__init__()
        self.table = table

    def score(self, x):
        return self.table[x[:, -1]] * (1 + 0.1 * x.shape[1])


@pytest.mark.parametrize(
    "config, reference",
    [
        ({"beam_width": 1, "lm_weight": 0.7}, "greedy"),
        ({"beam_width": 3, "lm_weight": 0.7, "repeat_penalty": 1.3}, "beam"),
        ({"beam_width": 1, "lm_weight": 5.0, "lm_model": None}, "greedy"),
        ({"beam_width": 1, "lm_weight": 0.0}, "beam"),  # beam width 1 finds the greedy hypotheses
    ],
)
def test_shallow_fusion_feeds_the_generator_model_plus_weighted_lm(make_trainer, asr_data, tokenizer, config, reference):
    trainer = make_trainer()
    gen = torch.Generator().manual_seed(1)
    asr_table = torch.randn(tokenizer.num_classes, tokenizer.num_classes, generator=gen) * 3
    asr_table[:, tokenizer.eos_id] += torch.linspace(-6, 2, tokenizer.num_classes)
    lm = StandInLM(torch.randn(tokenizer.num_classes, tokenizer.num_classes, generator=gen)).train()
    encodings = []

    def asr_score(x, enc_output, src_pad_mask):
        # Depends on the batch through the encoder output, so a closure over the wrong batch shows.
        return asr_table[x[:, -1]] + enc_output.mean(dim=(1, 2)).repeat_interleave(x.shape[0] // enc_output.shape[0])[:, None]

    encode = trainer.model.encode
    trainer.model.encode = lambda *args: encodings.append(args[0].shape[0]) or encode(*args)
    trainer.model.score = asr_score
    fused = "lm_model" not in config
    config = {"num_batches": None, "incremental": False, "lm_model": lm, **config}
    test = loader(asr_data["dev"], 4)
    records = trainer.recognize(test, config, "fused", max_length=7)
    assert encodings == [4, 2] and lm.training != fused  # a fused LM is switched to evaluation mode

    expected = []
    with torch.inference_mode():
        for feats, _, golden, feat_lengths, _ in test:
            enc_output, mask, _, _ = encode(feats, feat_lengths)
            weight = config["lm_weight"] if fused else 0.0
            generator = SequenceGenerator(lambda x: asr_score(x, enc_output, mask) + weight * lm.score(x), tokenizer, 7, "cpu")
            prompts = torch.full((feats.shape[0], 1), tokenizer.sos_id)
            if reference == "beam":
                sequences, scores = generator.generate_beam(prompts, config["beam_width"], 1.0, config.get("repeat_penalty", 1.0))
                sequences, scores = sequences[:, 0], scores[:, 0]
            else:
                sequences, scores = generator.generate_greedy(prompts)
            for seq, score, target in zip(
                SequenceGenerator.post_process_sequence(sequences, tokenizer),
                scores,
                SequenceGenerator.post_process_sequence(golden, tokenizer),
            ):
                expected.append(
                    (
                        tokenizer.decode(target.tolist(), skip_special_tokens=True),
                        tokenizer.decode(seq.tolist(), skip_special_tokens=True),
                        score.item(),
                    )
                )
    assert [list(r) for r in records] == [["target", "generated", "score"]] * 6
    assert [r["target"] for r in records] == [e[0] for e in expected]
    assert [r["generated"] for r in records] == [e[1] for e in expected]
    if (reference == "beam") == (config["beam_width"] > 1):  # the same search: the very same scores
        assert [r["score"] for r in records] == [e[2] for e in expected]
    else:
        assert [r["score"] for r in records] == pytest.approx([e[2] for e in expected], abs=1e-5)


def test_recognition_without_transcripts_evaluation_and_argument_checks(make_trainer, asr_data, capsys):
    trainer = make_trainer()
    test = loader(asr_data["test"], 2)
    with pytest.raises(ValueError, match="^text_max_len is not set. Please run training loop first or provide a max_length$"):
        trainer.recognize(test)
    records = trainer.recognize(test, {"beam_width": 2, "num_batches": 1}, "one", max_length=5)
    assert len(records) == 2 and all(list(r) == ["generated", "score"] for r in records)
    assert len(trainer.recognize(test, {"beam_width": 1, "num_batches": None}, max_length=5)) == 5
    for kwargs, name in [
        ({"recognition_config": []}, "recognition_config"),
        ({"config_name": 1}, "config_name"),
        ({"max_length": 5.0}, "max_length"),
    ]:
        with pytest.raises(TypeError, match=f"Argument '{name}'"):
            trainer.recognize(test, **{"max_length": 5, **kwargs})
    with pytest.raises(TypeError, match="key 'beam_width' must be of type int, got float"):
        trainer.recognize(test, {"beam_width": 2.0}, max_length=5)
    with pytest.raises(KeyError, match="beam_width"):
        trainer.recognize(test, {}, max_length=5)

    recognize = trainer.recognize

    def failing_beam_10(dataloader, config, name, max_length):
        if name == "beam_10":
            raise RuntimeError("boom")
        return recognize(dataloader, config, name, max_length)

    trainer.recognize = failing_beam_10
    capsys.readouterr()
    tables = trainer.evaluate(test, max_length=4)
    out = capsys.readouterr().out.splitlines()
    assert [line for line in out if line.startswith(("Evaluating", "Error"))] == [
        "Evaluating with greedy config",
        "Evaluating with beam_10 config",
        "Error evaluating with beam_10 config: boom",
        "Evaluating with beam_20 config",
    ]
    assert list(tables) == ["greedy", "beam_20"]
    assert list(tables["greedy"].columns) == ["id", "transcription"] and tables["greedy"]["id"].tolist() == [0, 1, 2, 3, 4]
    with open(os.path.join(trainer.text_dir, "text_test_beam_20_results.json")) as f:
        assert [r["generated"] for r in json.load(f)] == tables["beam_20"]["transcription"].tolist()
    assert sorted(os.listdir(trainer.text_dir)) == ["text_test_beam_20_results.json", "text_test_greedy_results.json"]
    configs = trainer._get_evaluation_recognition_configs(lm_weight=1)
    assert list(configs) == ["greedy", "beam_10", "beam_20"]
    assert configs["beam_10"] == {
        "num_batches": None,
        "temperature": 1.0,
        "repeat_penalty": 1.0,
        "lm_weight": 1.0,
        "lm_model": None,
        "beam_width": 10,
    }


@pytest.mark.parametrize(
    "references, hypotheses, expected",
    [
        (["a b"], ["a c"], {"word_dist": 1.0, "wer": 50.0, "cer": 100 / 3}),
        ("a b", "a c", {"word_dist": 1.0, "wer": 50.0, "cer": 100 / 3}),
        # references are the denominators: swapped arguments give 66.7 and 60.0
        (["a b"], ["a c d"], {"word_dist": 3.0, "wer": 100.0, "cer": 100.0}),
        (["a b", "c"], ["a c", "c"], {"word_dist": 0.5, "wer": 100 / 3, "cer": 25.0}),
    ],
)
def test_asr_metrics(make_trainer, references, hypotheses, expected):
    metrics = make_trainer()._calculate_asr_metrics(references, hypotheses)
    assert list(metrics) == ["word_dist", "wer", "cer"] and all(type(v) is float for v in metrics.values())
    assert metrics == pytest.approx(expected, rel=1e-6)


# ---------------------------------------------------------------------------------------------
# Progressive training


def stage(**overrides):
    return {
        "name": "warm",
        "epochs": 1,
        "encoder_active_layers": [1, 0],
        "decoder_active_layers": [1],
        "encoder_freeze": [True, False],
        "dropout": 0.2,
        "label_smoothing": 0.1,
        "data_subset": 0.5,
        **overrides,
    }


def numel(module):
    return sum(p.numel() for p in module.parameters())


def test_stage_layers_freezing_and_transition(make_trainer, asr_data, capsys):
    trainer = make_trainer(cls=ProgressiveTrainer)
    encoders, decoders = list(trainer.model.enc_layers), list(trainer.model.dec_layers)
    full_state = list(trainer.model.state_dict())
    assert trainer.all_lunmark == encoders and trainer.all_drumvale == decoders and trainer.current_stage == 0
    trainer.configure_stage(stage())
    frozen, trainable = numel(encoders[1]), numel(encoders[0]) + numel(decoders[1])
    assert capsys.readouterr().out == (
        "\n" + "=" * 80 + "\n" + "Starting Stage: warm".center(80) + "\n" + "=" * 80 + "\n\nConfiguration Details:\n"
        "├── Data Subset: 50.0% of training data\n├── Training Epochs: 1\n├── Dropout: 0.2\n├── Label Smoothing: 0.1\n"
        "├── Encoder Layers:\n│   ├── Layer 1: Frozen\n│   ├── Layer 0: Trainable\n├── Decoder Layers:\n│   ├── Layer 1: Trainable\n"
        f"├── Frozen Parameters: {frozen:,}\n└── Trainable Parameters: {trainable:,}\n"
    )
    assert frozen > 1000
    model = trainer.model
    assert list(model.enc_layers) == [encoders[1], encoders[0]] and list(model.dec_layers) == [decoders[1]]
    assert (model.num_lunmark, model.num_drumvale, model.dropout.p, trainer.ce_criterion.label_smoothing) == (2, 1, 0.2, 0.1)
    state = model.state_dict()
    assert not any(k.startswith(("enc_layers.2", "dec_layers.1")) for k in state)
    torch.testing.assert_close(state["enc_layers.0.ffn.norm.weight"], encoders[1].ffn.norm.weight, rtol=0, atol=0)
    torch.testing.assert_close(state["dec_layers.0.ffn.norm.weight"], decoders[1].ffn.norm.weight, rtol=0, atol=0)

    before = {name: p.detach().clone() for name, p in model.named_parameters()}
    trainer._train_epoch(loader(asr_data["train"]))
    for name, p in model.named_parameters():
        changed = not torch.equal(before[name], p)
        if name.startswith("enc_layers.0."):  # the frozen layer 1
            assert p.grad is None and not p.requires_grad and not changed, name
        elif name.startswith(("enc_layers.1.", "dec_layers.0.")) and p.dim() > 1:
            assert p.requires_grad and changed, name

    trainer.transition_to_full_training()
    assert capsys.readouterr().out == f"\n=== Transitioning to Full Training ===\n├── Total Unfrozen Parameters: {numel(model):,}\n"
    assert list(model.enc_layers) == encoders and list(model.dec_layers) == decoders
    assert (model.num_lunmark, model.num_drumvale, trainer.best_metric) == (2, 2, float("inf"))
    assert all(p.requires_grad for p in model.parameters()) and trainer.ce_criterion.label_smoothing == 0.0
    assert list(model.state_dict()) == full_state


@pytest.mark.parametrize(
    "overrides, message, encoder_changed",
    [
        ({"encoder_freeze": [True]}, r"^Encoder freeze list length \(1\) must match number of active encoder layers \(2\)$", False),
        ({"decoder_freeze": [True, False]}, r"^Decoder freeze list length \(2\) must match number of active decoder layers \(1\)$", True),
    ],
)
def test_freeze_list_lengths(make_trainer, overrides, message, encoder_changed):
    trainer = make_trainer(cls=ProgressiveTrainer)
    encoders = list(trainer.model.enc_layers)
    with pytest.raises(ValueError, match=message):
        trainer.configure_stage(stage(**overrides))
    assert (list(trainer.model.enc_layers) != encoders) == encoder_changed


def test_empty_freeze_list_freezes_nothing(make_trainer):
    trainer = make_trainer(cls=ProgressiveTrainer)
    for p in trainer.model.parameters():
        p.requires_grad_(False)
    trainer.configure_stage(stage(encoder_freeze=[], encoder_active_layers=[0]))
    assert all(p.requires_grad for p in trainer.model.enc_layers.parameters())
    assert not any(p.requires_grad for p in trainer.model.source_embedding.parameters())


@PIN_MEMORY
@pytest.mark.parametrize("fraction, size", [(0.5, 6), (0.2, 2), (1.0, 12), (0.09, 1)])
def test_subset_loader(make_trainer, asr_data, fraction, size):
    trainer = make_trainer(cls=ProgressiveTrainer)
    dataset = asr_data["train"]
    subset = trainer.get_subset_dataloader(loader(dataset), fraction)
    assert len(subset.dataset) == size and len(set(subset.dataset.indices)) == size and subset.batch_size == 2
    assert (subset.dataset.text_max_len, subset.dataset.feat_max_len) == (dataset.text_max_len, dataset.feat_max_len)
    assert subset.dataset.get_avg_chars_per_token() == dataset.get_avg_chars_per_token()
    assert sum(len(batch[0]) for batch in subset) == size


@pytest.mark.parametrize(
    "bad, error, message",
    [
        ({"epochs": -1}, ValueError, r"Stage 1 \('late'\): 'epochs' must be a non-negative integer, got -1"),
        ({"data_subset": 0.05}, ValueError, r"Stage 1 \('late'\): 'data_subset' 0.05 selects no utterance of the 12"),
        ({"data_subset": 1.5}, ValueError, r"Stage 1 \('late'\): 'data_subset' must be a fraction in \(0, 1\]"),
        ({"dropout": 1.0}, ValueError, r"Stage 1 \('late'\): 'dropout' must be in \[0, 1\)"),
        ({"decoder_active_layers": [2]}, IndexError, r"Stage 1 \('late'\): 'decoder_active_layers' holds layer index 2"),
        ({"label_smoothing": None}, KeyError, "label_smoothing"),
    ],
)
def test_bad_stages_are_refused_before_any_stage_runs(make_trainer, asr_data, bad, error, message, capsys):
    trainer = make_trainer(cls=ProgressiveTrainer)
    late = stage(name="late", **bad)
    if bad.get("label_smoothing", 0) is None:
        del late["label_smoothing"]
    with pytest.raises(error, match=message):
        trainer.progressive_train(loader(asr_data["train"]), loader(asr_data["dev"]), [stage(), late])
    assert capsys.readouterr().out == "" and trainer.current_epoch == 0
    with pytest.raises(ValueError, match="subset_fraction 0.05 selects no utterance"):
        trainer.get_subset_dataloader(loader(asr_data["train"]), 0.05)


@PIN_MEMORY
def test_progressive_train_runs_each_stage_on_a_subset(make_trainer, asr_data, capsys):
    trainer = make_trainer(cls=ProgressiveTrainer)
    seen = []
    train_epoch = trainer._train_epoch
    trainer._train_epoch = lambda dl: seen.append((trainer.current_stage, len(dl.dataset), trainer.model.num_lunmark)) or train_epoch(dl)
    stages = [stage(encoder_active_layers=[0], encoder_freeze=[], data_subset=0.25), stage(name="two", data_subset=0.5, epochs=1)]
    trainer.progressive_train(loader(asr_data["train"]), loader(asr_data["dev"], 3), stages)
    assert seen == [(0, 3, 1), (1, 6, 2)] and trainer.current_epoch == 2
    out = capsys.readouterr().out
    assert out.count("Starting Stage: ") == 2 and "Starting Stage: two" in out
    assert [r["epoch"] for r in trainer.training_history] == [0, 1]


@pytest.mark.parametrize("beam_width", [1, 4])
def test_incremental_decoding_matches_full_prefix_rescoring(make_trainer, asr_data, tokenizer, beam_width):
    from velkor.model import DecoderOnlyTransformer

    trainer = make_trainer()
    torch.manual_seed(3)
    lm = DecoderOnlyTransformer(num_classes=tokenizer.num_classes, d_model=16, num_layers=1, num_heads=2, d_ff=32, max_len=64)
    test = loader(asr_data["dev"], 4)
    runs, rescored = {}, []
    score = trainer.model.score
    trainer.model.score = lambda *args: rescored.append(args[0].shape) or score(*args)
    for incremental in (True, False):
        config = {"beam_width": beam_width, "num_batches": None, "lm_model": lm, "lm_weight": 0.5, "incremental": incremental}
        runs[incremental] = trainer.recognize(test, config, max_length=9)
        assert bool(rescored) != incremental  # the default caches decoder states instead of rescoring prefixes
    assert [r["generated"] for r in runs[True]] == [r["generated"] for r in runs[False]]
    assert [r["score"] for r in runs[True]] == pytest.approx([r["score"] for r in runs[False]], abs=1e-4)


@pytest.mark.parametrize("overridden", ["asr", "lm"])
@pytest.mark.parametrize("beam_width", [1, 3])
def test_a_class_overriding_score_alone_is_recognized_with_its_score(tokenizer, config_file, asr_data, overridden, beam_width):
    """Recognition takes the cached-state path only when no model's class overrides `score` without its incremental
    scorer: otherwise the override would be ignored. The full-prefix run is the oracle."""
    from velkor.model import DecoderOnlyTransformer

    favourite = tokenizer.encode("q")[0]

    def favouring(base):
        class Favouring(base):
            def score(self, *args):
                out = super().score(*args).clone()
                out[:, favourite] += 30.0
                return out

        return Favouring

    torch.manual_seed(0)
    speech = (favouring(EncoderDecoderTransformer) if overridden == "asr" else EncoderDecoderTransformer)(
        input_dim=NUM_FEATS, num_classes=tokenizer.num_classes, d_model=16, num_encoder_layers=1, num_decoder_layers=1,
        num_encoder_heads=2, num_decoder_heads=2, d_ff_encoder=32, d_ff_decoder=32, dropout=0.0, time_reduction=2,
    )  # fmt: skip
    lm = (favouring(DecoderOnlyTransformer) if overridden == "lm" else DecoderOnlyTransformer)(
        num_classes=tokenizer.num_classes, d_model=16, num_layers=1, num_heads=2, d_ff=32, max_len=64
    )
    trainer = ASRTrainer(speech, tokenizer, asr_config(), "asr", config_file, device="cpu")
    test = loader(asr_data["dev"], 4)
    config = {"beam_width": beam_width, "num_batches": None, "lm_model": lm, "lm_weight": 1.0}
    records = trainer.recognize(test, config, max_length=6)
    assert records == trainer.recognize(test, {**config, "incremental": False}, max_length=6)
    assert all(set(r["generated"]) == {"q"} for r in records)


@pytest.mark.parametrize(
    "steps, error, message",
    [(0, ValueError, "must be a positive integer, got 0"), (2.0, TypeError, "must be of type int, got float")],
)
def test_both_trainers_refuse_a_bad_accumulation_key_alike(make_trainer, asr_data, lm_data, tokenizer, config_file, steps, error, message):
    from conftest import lm_config, lm_model
    from conftest import loader as lm_loader

    from velkor.trainers import LMTrainer

    lm = LMTrainer(lm_model(tokenizer), tokenizer, lm_config(gradient_accumulation_steps=steps), "lm", config_file, device="cpu")
    lm.optimizer = torch.optim.AdamW(lm.model.parameters())
    for trainer, data in [(make_trainer(steps=steps), loader(asr_data["eight"])), (lm, lm_loader(lm_data[0]))]:
        with pytest.raises(error, match=rf"^Configuration key 'training' -> 'gradient_accumulation_steps' {message}$"):
            trainer._train_epoch(data)


def test_a_time_budget_ends_the_asr_run_annealed_between_updates(make_trainer, asr_data):
    """Two batches per update (3 batches: an update of two, then one of the last) on a clock that the training
    forward passes advance by one second: the run stops right after an update, validates and saves the
    partial epoch, and ends at its floor."""
    from velkor.utils.tamblor import BudgetSchedule, TimeBudget

    clock = [0.0]
    trainer = make_trainer(steps=2, scheduler=lambda o: BudgetSchedule(o, 100, warmup_fraction=0.1, eta_min=1e-4))
    trainer.model.register_forward_hook(lambda m, args, out: clock.__setitem__(0, clock[0] + (1.0 if m.training else 0.0)))
    trainer.time_budget = TimeBudget(40.0, clock=lambda: clock[0])
    updates = []
    trainer.optimizer.register_step_post_hook(lambda opt, args, kwargs: updates.append(clock[0]))
    trainer.train(loader(asr_data["train"]), loader(asr_data["dev"]), 100)

    budget = trainer.time_budget
    assert budget.finished and budget.steps == len(updates) == budget.planned_steps
    assert 38.0 <= clock[0] <= 40.0 and updates[-1] == clock[0]  # nothing after the last update but validation
    assert updates[0] == 2.0 and [b - a for a, b in zip(updates, updates[1:])] == [1.0 + i % 2 for i in range(len(updates) - 1)]
    assert trainer.optimizer.param_groups[0]["lr"] == pytest.approx(1e-4) == trainer.training_history[-1]["lr"]
    assert len(trainer.training_history) == trainer.current_epoch == -(-budget.steps // 2)
