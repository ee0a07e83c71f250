"""eSpeak NG synthesis through its C API (optional extra 'synth')."""

import pathlib
import subprocess
import sys

import numpy as np
import pytest

from velkor.data import prepare, synth

needs_espeak = pytest.mark.skipif(not synth.is_available(), reason="eSpeak NG missing: install the extra velkor[synth] (espeakng-loader)")


@needs_espeak
def test_speech_has_the_rate_and_length_the_settings_ask_for():
    assert synth.sample_rate() == 22050
    slow = synth.synthesize("the quick brown fox jumps over the lazy dog", rate=120)
    fast = synth.synthesize("the quick brown fox jumps over the lazy dog", rate=300, voice="en+f3", pitch=80)
    assert slow.dtype == np.int16 and slow.ndim == 1
    assert 1.5 < len(fast) / synth.sample_rate() < len(slow) / synth.sample_rate() < 6.0
    assert np.abs(slow.astype(np.float32)).max() > 1000
    assert len(synth.synthesize("")) < 0.5 * synth.sample_rate()


@needs_espeak
@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"voice": "no-such-voice"}, ValueError, "Unknown eSpeak NG voice: no-such-voice"),
        ({"rate": 10}, ValueError, "rate must be between 80 and 450"),
        ({"pitch": 101}, ValueError, "pitch must be between 0 and 100"),
        ({"text": "a\0b"}, ValueError, "NUL"),
        ({"rate": 1.5}, TypeError, "Argument 'rate' must be of type int"),
    ],
)
def test_bad_settings_are_refused(kwargs, error, message):
    with pytest.raises(error, match=message):
        synth.synthesize(**{"text": "hello", **kwargs})


@needs_espeak
def test_synthesized_partitions_are_listed_and_alignable_by_ctc(tmp_path):
    """At the default speaking rates every utterance has enough frames for CTC at a time reduction of 4
    (frames // 4 >= characters + the end token + adjacent repeats), and each partition's manifest names
    the line each sentence came from and its duration."""
    prepare.prepare_synth(tmp_path, num_train=40, num_dev=3, num_test=3, seed=5)
    text = pathlib.Path(prepare.embedded_text("asr")).read_text(encoding="utf-8").splitlines()
    for partition in ("train-clean-100", "dev-clean", "test-clean"):
        root = tmp_path / partition
        rows = [line.split("\t") for line in (root / "manifest.tsv").read_text(encoding="utf-8").splitlines()[1:]]
        assert [row[0] + ".npy" for row in rows] == sorted(p.name for p in (root / "fbank").iterdir())
        for uid, source, seconds, sentence in rows:
            assert text[int(source.rsplit(":", 1)[1]) - 1] == sentence
            frames = np.load(root / "fbank" / f"{uid}.npy").shape[1]
            assert abs(frames / 100 - float(seconds)) < 0.03
            needed = len(sentence) + 1 + sum(a == b for a, b in zip(sentence, sentence[1:]))
            assert frames // 4 >= needed, (sentence, frames)


def test_missing_extra_is_named():
    code = (
        "import sys; sys.modules['espeakng_loader'] = None\n"
        "from velkor.data import synth, prepare\n"
        "assert not synth.is_available()\n"
        "try:\n    prepare.prepare_synth('unused')\nexcept ModuleNotFoundError as e:\n    print(e)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert "velkor[synth]" in out and "espeakng-loader" in out
