"""Tiny experiments on disk, laid out as `velkor train` leaves them (config.yaml, tokenizer.json,
feature_stats.pt, checkpoints/checkpoint-best-metric-model.pth), with untrained weights: a speech
test partition prepared from a few written wav files, a speech experiment and a language model."""

import numpy as np
import pytest
import soundfile
import torch
import yaml

from velkor.data import BrixTokenizer, prepare
from velkor.model import DecoderOnlyTransformer, EncoderDecoderTransformer

ASR_MODEL = {
    "d_model": 16,
    "num_encoder_layers": 1,
    "num_decoder_layers": 1,
    "num_encoder_heads": 2,
    "num_decoder_heads": 2,
    "d_ff_encoder": 32,
    "d_ff_decoder": 32,
    "dropout": 0.0,
    "max_len": 64,
    "time_reduction": 4,
    "reduction_method": "lstm",
}
LM_MODEL = {"d_model": 16, "num_layers": 1, "num_heads": 2, "d_ff": 32, "dropout": 0.0, "max_len": 64}


def write_wavs(folder, count=4, seed=0):
    """Noisy tones of 0.4-1.2 s (one at 22.05 kHz); returns [(path, transcript)]."""
    rng = np.random.default_rng(seed)
    folder.mkdir(parents=True, exist_ok=True)
    items = []
    for i in range(count):
        rate = 22050 if i == 1 else 16000
        n = int(rate * (0.4 + 0.25 * i))
        t = np.arange(n) / rate
        x = 0.3 * np.sin(2 * np.pi * (200 + 150 * i) * t) + 0.05 * rng.standard_normal(n)
        path = folder / f"utt{i}.wav"
        soundfile.write(path, x.astype(np.float32), rate)
        items.append((path, f"tone number {i}"))
    return items


def save_experiment(root, config, model, tokenizer, stats=None):
    """expts/<name> as training leaves it; returns the folder."""
    expt = root / "expts" / config["name"]
    (expt / "checkpoints").mkdir(parents=True)
    (expt / "config.yaml").write_text(yaml.safe_dump(config))
    tokenizer.save(expt / "tokenizer.json")
    if stats is not None:
        torch.save(stats, expt / "feature_stats.pt")
    torch.save({"model_state_dict": model.state_dict(), "epoch": 1}, expt / "checkpoints" / "checkpoint-best-metric-model.pth")
    return expt


@pytest.fixture(scope="session")
def workdir(tmp_path_factory):
    """A folder with data/test-clean prepared from wavs, asr.yaml + expts/tiny-asr and lm.yaml + expts/tiny-lm."""
    root = tmp_path_factory.mktemp("inference")
    items = write_wavs(root / "wavs")
    (root / "list.tsv").write_text("".join(f"{p}\t{t}\n" for p, t in items))
    prepare.prepare_audio(root / "list.tsv", root / "data" / "test-clean")
    tokenizer = BrixTokenizer()

    asr = {
        "name": "tiny-asr",
        "task": "asr",
        "data": {"root": "data", "batch_size": 1, "num_feats": 80, "norm": "global_mvn"},
        "model": ASR_MODEL,
        "optimizer": {"name": "adamw", "lr": 0.001},
        "scheduler": {"name": "cosine"},
        "training": {"epochs": 1, "amp_dtype": "float32"},
        "loss": {"ctc_weight": 0.3},
        "recognition": {"beam_width": 2, "max_length": 12},
    }
    torch.manual_seed(0)
    model = EncoderDecoderTransformer(**ASR_MODEL, input_dim=80, num_classes=tokenizer.num_classes)
    feats = np.concatenate([np.load(f) for f in sorted((root / "data" / "test-clean" / "fbank").iterdir())], axis=1)
    stats = (torch.tensor(feats.mean(axis=1), dtype=torch.float32), torch.tensor(feats.std(axis=1), dtype=torch.float32))
    (root / "asr.yaml").write_text(yaml.safe_dump(asr))
    save_experiment(root, asr, model, tokenizer, stats)

    lm = {
        "name": "tiny-lm",
        "task": "lm",
        "data": {"root": "data/lm"},
        "model": LM_MODEL,
        "optimizer": {"name": "adam", "lr": 0.001},
        "scheduler": {"name": "cosine"},
        "training": {"epochs": 1},
    }
    torch.manual_seed(1)
    (root / "lm.yaml").write_text(yaml.safe_dump(lm))
    save_experiment(root, lm, DecoderOnlyTransformer(**LM_MODEL, num_classes=tokenizer.num_classes), tokenizer)
    return root
