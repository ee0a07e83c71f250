"""Speed perturbation at preparation time: each training utterance written again at each speed
(durations by 1/factor, pitch moved with the tempo, ids and manifest rows naming the factor), never
for a dev or test partition, and factors outside [0.5, 2] refused before anything is written."""

import math

import numpy as np
import pytest
import soundfile

from velkor.data import ASRDataset, BrixTokenizer, prepare, synth


def manifest(partition):
    lines = (partition / "manifest.tsv").read_text(encoding="utf-8").splitlines()[1:]
    return {row[0]: row[1:] for row in (line.split("\t") for line in lines)}


def loudest_band(features):
    return int(np.argmax(features.mean(axis=1)))


def test_each_utterance_is_written_at_each_speed(tmp_path):
    """A 1 kHz tone (16 kHz) and a 700 Hz one (22.05 kHz): every copy lasts 1/factor as long, in the
    manifest and in frames, keeps its transcript and source, and its pitch rises with the speed."""
    rate_of = {"a": 16000, "b": 22050}
    for name, freq in (("a", 1000), ("b", 700)):
        t = np.arange(int(rate_of[name] * 1.2)) / rate_of[name]
        soundfile.write(tmp_path / f"{name}.wav", (0.4 * np.sin(2 * np.pi * freq * t)).astype(np.float32), rate_of[name])
    (tmp_path / "list.tsv").write_text("a.wav\tfirst tone\nb.wav\tsecond tone\n")
    out = tmp_path / "train"
    summary = prepare.prepare_audio(tmp_path / "list.tsv", out, speed_perturb=[1.1, 0.9, 1.0, 1.1])
    assert summary["speed_perturb"] == [1.1, 0.9] and summary["utterances"] == 6

    rows = manifest(out)
    assert sorted(rows) == sorted(f"{p}{uid}" for uid in ("0000000", "0000001") for p in ("", "sp0.9-", "sp1.1-"))
    for uid in ("0000000", "0000001"):
        source, seconds, text = rows[uid]
        original = np.load(out / "fbank" / f"{uid}.npy")
        bands = {}
        for factor in (0.9, 1.1):
            sp = f"sp{factor}-{uid}"
            assert rows[sp][0] == source and rows[sp][2] == text
            assert math.isclose(float(rows[sp][1]), float(seconds) / factor, abs_tol=0.002)
            features = np.load(out / "fbank" / f"{sp}.npy")
            assert features.shape[0] == 80 and abs(features.shape[1] - original.shape[1] / factor) <= 2
            assert "".join(np.load(out / "text" / f"{sp}.npy")) == text
            bands[factor] = loudest_band(features)
        assert bands[0.9] < loudest_band(original) < bands[1.1]
    masks = {"time_mask_width_range": 2, "freq_mask_width_range": 2}
    config = {"root": str(tmp_path), "num_feats": 80, "norm": "none", "specaug": False, "specaug_conf": masks}
    assert len(ASRDataset("train", config, BrixTokenizer(), True)) == 6


@pytest.mark.parametrize(
    "factors, error, message",
    [
        ([0.9, 0.4], ValueError, "speed_perturb factors must be numbers from 0.5 to 2.0, got 0.4"),
        ([2.5], ValueError, "got 2.5"),
        ([float("nan")], ValueError, "got nan"),
        ([float("inf")], ValueError, "got inf"),
        (["0.9"], TypeError, "Argument 'speed_perturb' must be of type float, got str"),
        (0.9, TypeError, "Argument 'speed_perturb' must be of type list, got float"),
    ],
)
def test_bad_factors_are_refused_before_anything_is_written(tmp_path, factors, error, message):
    with pytest.raises(error, match=message):
        prepare.prepare_audio(tmp_path / "missing.tsv", tmp_path / "train", speed_perturb=factors)
    assert not (tmp_path / "train").exists()


@pytest.mark.parametrize("name", ["dev-clean", "test-other", "Valid", "eval"])
def test_validation_and_test_partitions_are_never_perturbed(tmp_path, name):
    (tmp_path / "list.tsv").write_text("")
    with pytest.raises(ValueError, match=f"'{name.lower()}' is named like a validation or test partition"):
        prepare.prepare_audio(tmp_path / "list.tsv", tmp_path / name, speed_perturb=[0.9])
    assert not (tmp_path / name).exists()


@pytest.mark.skipif(not synth.is_available(), reason="eSpeak NG missing: install the extra velkor[synth] (espeakng-loader)")
def test_synthesis_perturbs_the_training_partition_only(tmp_path):
    prepare.prepare_synth(tmp_path, num_train=2, num_dev=1, num_test=1, seed=3, speed_perturb=[0.9, 1.0, 1.2])
    train = manifest(tmp_path / "train-clean-100")
    originals = [uid for uid in train if not uid.startswith("sp")]
    assert len(originals) == 2 and len(train) == 6
    for uid in originals:
        for factor in (0.9, 1.2):
            assert math.isclose(float(train[f"sp{factor}-{uid}"][1]), float(train[uid][1]) / factor, abs_tol=0.002)
    for partition in ("dev-clean", "test-clean"):
        assert [uid for uid in manifest(tmp_path / partition) if uid.startswith("sp")] == []
