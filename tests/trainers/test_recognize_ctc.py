"""Recognition with the model's CTC branch through the ASR trainer: the "decoder" and "ctc_weight" keys, and
the report of utterances CTC cannot align."""

import os

import numpy as np
import pytest
import torch
import torch.nn.functional as F

from velkor.data.brenvik import ASRDataset
from velkor.decoding import CTCPrefixScorer, SequenceGenerator
from velkor.model import EncoderDecoderTransformer
from velkor.trainers.ombrel import ASRTrainer

NUM_FEATS = 8


@pytest.fixture
def speech(workdir, tokenizer):
    """Training (10 utterances of 6 to 60 frames), test (6) and "long" (4 of 50 to 60 frames) partitions with transcripts."""
    root = str(workdir / "speech")
    rng = np.random.default_rng(0)
    for partition, count, low in (("train", 10, 6), ("dev", 6, 6), ("long", 4, 50)):
        for kind in ("fbank", "text"):
            os.makedirs(os.path.join(root, partition, kind))
        for i in range(count):
            np.save(
                os.path.join(root, partition, "fbank", f"u{i}.npy"),
                rng.normal(size=(NUM_FEATS, int(rng.integers(low, 60)))).astype(np.float32),
            )
            np.save(os.path.join(root, partition, "text", f"u{i}.npy"), np.array(list(" ".join(rng.choice(["ab", "bba", "c"], size=2)))))
    config = {
        "root": root,
        "num_feats": NUM_FEATS,
        "norm": "cepstral",
        "specaug": False,
        "specaug_conf": {"time_mask_width_range": 2, "freq_mask_width_range": 2},
    }
    return {name: ASRDataset(name, config, tokenizer, name == "train") for name in ("train", "dev", "long")}


def loader(dataset, batch_size=4):
    return torch.utils.data.DataLoader(dataset, batch_size=batch_size, collate_fn=dataset.collate_fn)


@pytest.fixture
def make_trainer(tokenizer, config_file):
    def make(ctc_weight=0.5, time_reduction=2):
        torch.manual_seed(0)
        model = EncoderDecoderTransformer(
            input_dim=NUM_FEATS,
            num_classes=tokenizer.num_classes,
            d_model=16,
            num_encoder_layers=1,
            num_decoder_layers=2,
            num_encoder_heads=2,
            num_decoder_heads=2,
            d_ff_encoder=32,
            d_ff_decoder=32,
            dropout=0.0,
            time_reduction=time_reduction,
            reduction_method="conv",
        )
        config = {
            "data": {"batch_size": 4, "num_feats": NUM_FEATS, "NUM_WORKERS": 0},
            "training": {"gradient_accumulation_steps": 1, "amp_dtype": "float32"},
            "loss": {"label_smoothing": 0.0, "ctc_weight": ctc_weight},
        }
        trainer = ASRTrainer(model, tokenizer, config, "asr", config_file)
        trainer.optimizer = torch.optim.AdamW(trainer.model.parameters(), lr=1e-3)
        trainer.scheduler = torch.optim.lr_scheduler.LambdaLR(trainer.optimizer, lambda _: 1.0)
        return trainer

    return make


@pytest.mark.parametrize("beam_width", [1, 3])
def test_ctc_decoder_takes_the_best_paths_or_searches_ctc_prefix_scores(make_trainer, speech, tokenizer, beam_width):
    trainer = make_trainer()
    test = loader(speech["dev"])
    records = trainer.recognize(test, {"beam_width": beam_width, "decoder": "ctc", "num_batches": None}, "ctc", max_length=4)
    expected = []
    with torch.inference_mode():
        for feats, _, _golden, lengths, _ in test:
            _, _, _, ctc = trainer.model.encode(feats, lengths)
            if beam_width > 1:
                generator = SequenceGenerator(CTCPrefixScorer(ctc["log_probs"], ctc["lengths"], tokenizer), tokenizer, 4, "cpu")
                sequences, scores = generator.generate_beam(torch.full((feats.shape[0], 1), tokenizer.sos_id), beam_width)
                for seq, score in zip(SequenceGenerator.post_process_sequence(sequences[:, 0], tokenizer), scores[:, 0]):
                    expected.append((tokenizer.decode(seq.tolist(), skip_special_tokens=True), score.item()))
                continue
            for b in range(feats.shape[0]):
                values, ids = ctc["log_probs"][: ctc["lengths"][b], b].max(-1)
                ids = torch.unique_consecutive(ids)
                ids = ids[ids != tokenizer.pad_id].tolist()
                ids = ids[: ids.index(tokenizer.eos_id) + 1] if tokenizer.eos_id in ids else ids
                expected.append((tokenizer.decode(ids, skip_special_tokens=True), values.sum().item()))
    assert [r["generated"] for r in records] == [e[0] for e in expected]
    assert [r["score"] for r in records] == pytest.approx([e[1] for e in expected], abs=1e-4)
    assert [r["target"] for r in records] == ["".join(np.load(p).tolist()) for p in speech["dev"].text_files]
    if beam_width == 1:
        assert max(len(r["generated"]) for r in records) > 3  # max_length does not cut a best path


@pytest.mark.parametrize("beam_width", [1, 3])
def test_joint_weight_through_incremental_and_full_prefix_scoring(make_trainer, speech, beam_width):
    """ctc_weight 0 is the attention search as without the key; a positive weight gives the same joint search
    whether the decoder caches its states or rescores whole prefixes, and differs from attention alone."""
    trainer = make_trainer()
    test = loader(speech["dev"])
    run = lambda **keys: trainer.recognize(test, {"beam_width": beam_width, "num_batches": None, **keys}, max_length=8)  # noqa: E731
    assert run(ctc_weight=0.0) == run()
    joint = run(ctc_weight=0.6)
    full = run(ctc_weight=0.6, incremental=False)
    assert [r["generated"] for r in joint] == [r["generated"] for r in full]
    assert [r["score"] for r in joint] == pytest.approx([r["score"] for r in full], abs=1e-4)
    assert joint != run() and joint != run(ctc_weight=1.0)


@pytest.mark.parametrize(
    "keys, error, message",
    [
        ({"decoder": "rnnt"}, ValueError, "'decoder' must be 'attention' or 'ctc', got 'rnnt'"),
        ({"ctc_weight": 1.5}, ValueError, "'ctc_weight' must be between 0 and 1, got 1.5"),
        ({"ctc_weight": "0.3"}, TypeError, "ctc_weight"),
        ({"lm_weight": float("nan"), "lm_model": torch.nn.Identity()}, ValueError, "'lm_weight' must be a finite number >= 0, got nan"),
    ],
)
def test_bad_recognition_keys(make_trainer, speech, keys, error, message):
    with pytest.raises(error, match=message):
        make_trainer().recognize(loader(speech["dev"]), {"beam_width": 1, **keys}, max_length=5)


@pytest.mark.parametrize("ctc_weight, time_reduction", [(0.0, 4), (0.5, 4), (0.5, 2)])
def test_training_reports_utterances_ctc_cannot_align(make_trainer, speech, tokenizer, capsys, ctc_weight, time_reduction):
    """One line when some utterances cannot be aligned (time reduction 4), none when all can (long utterances) or
    without CTC."""
    trainer = make_trainer(ctc_weight=ctc_weight, time_reduction=time_reduction)
    dataset = speech["train" if time_reduction == 4 else "long"]
    capsys.readouterr()
    trainer.train(loader(dataset), loader(speech["dev"]), 1)
    lines = [line for line in capsys.readouterr().out.splitlines() if "cannot be aligned by CTC" in line]
    if not ctc_weight:
        assert lines == []
        return
    # An utterance cannot be aligned when its CTC loss is infinite.
    frames = trainer.model.source_embedding.calculate_downsampled_length(torch.tensor([f.shape[1] for f in dataset.feats]))
    infinite = sum(
        t < 1
        or bool(
            torch.isinf(
                F.ctc_loss(
                    torch.zeros(int(t), 1, tokenizer.num_classes).log_softmax(-1),
                    torch.tensor([g]),
                    t.view(1),
                    torch.tensor([len(g)]),
                    blank=tokenizer.pad_id,
                )
            )
        )
        for t, g in zip(frames, dataset.transcripts_golden)
    )
    assert (0 < infinite < len(dataset)) if time_reduction == 4 else infinite == 0
    assert (
        lines == []
        if infinite == 0
        else lines
        == [
            f"{infinite} of {len(dataset)} training utterances cannot be aligned by CTC at the model's time reduction "
            "(fewer encoder frames than target tokens plus repeated neighbours): their CTC loss is 0"
        ]
    )
