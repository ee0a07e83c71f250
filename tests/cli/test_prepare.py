"""Dataset preparation: filter banks, the user's recordings, text partitions, the embedded text."""

import numpy as np
import pytest
import soundfile

from velkor.data import ASRDataset, BrixTokenizer, LMDataset
from velkor.data import prepare

ASR_CONFIG = {
    "root": None,
    "num_feats": 80,
    "norm": "none",
    "specaug": False,
    "specaug_conf": {"time_mask_width_range": 10, "freq_mask_width_range": 5},
}


def tone(freq, rate, seconds=0.5, amplitude=0.5):
    t = np.arange(int(rate * seconds)) / rate
    return (amplitude * np.sin(2 * np.pi * freq * t)).astype(np.float32)


def test_fbank_is_rate_and_scale_invariant_and_finds_the_tone():
    """(80, frames) at 100 frames/s whatever the input rate; int16 and [-1, 1] floats agree; the
    loudest mel band follows the tone's frequency."""
    low16, high16 = prepare.compute_fbank(tone(300, 16000), 16000), prepare.compute_fbank(tone(3000, 16000), 16000)
    assert low16.dtype == np.float32 and low16.shape == (80, 48)
    assert np.argmax(low16.mean(axis=1)) < np.argmax(high16.mean(axis=1))
    low44 = prepare.compute_fbank(tone(300, 44100), 44100)
    assert low44.shape == low16.shape
    assert np.argmax(low44.mean(axis=1)) == np.argmax(low16.mean(axis=1))
    noise = np.random.default_rng(0).uniform(-0.3, 0.3, 8000).astype(np.float32)  # loud in every band
    as_int16 = prepare.compute_fbank(np.round(noise * 32768).astype(np.int16), 16000)
    np.testing.assert_allclose(as_int16, prepare.compute_fbank(noise, 16000), atol=0.01)


@pytest.mark.parametrize(
    "samples, rate, error",
    [
        (np.zeros((2, 800), np.float32), 16000, ValueError),
        (np.zeros(800, np.float32), 0, ValueError),
        (np.array(["a"] * 800), 16000, TypeError),
    ],
)
def test_fbank_rejects_bad_signals(samples, rate, error):
    with pytest.raises(error):
        prepare.compute_fbank(samples, rate)


def librispeech_tree(root):
    """speaker/chapter folders: a good 16 kHz flac, a 22.05 kHz wav, a broken flac, an empty wav,
    a transcript line without audio, and an audio file no transcript names."""
    chapter = root / "19" / "198"
    chapter.mkdir(parents=True)
    soundfile.write(chapter / "19-198-0000.flac", tone(440, 16000, 1.0), 16000)
    soundfile.write(chapter / "19-198-0001.wav", tone(440, 22050, 2.0), 22050)
    (chapter / "19-198-0002.flac").write_bytes(b"fLaC this is not audio")
    soundfile.write(chapter / "19-198-0003.wav", np.zeros(0, np.float32), 16000)
    soundfile.write(chapter / "19-198-0099.flac", tone(440, 16000, 1.0), 16000)
    (chapter / "19-198.trans.txt").write_text(
        "19-198-0000 HELLO WORLD\n19-198-0001 A LONGER ONE\n19-198-0002 BROKEN\n19-198-0003 EMPTY\n19-198-0004 NO AUDIO\n"
    )
    return root, {
        "19-198-0002.flac": "unreadable audio",
        "19-198-0003.wav": "empty audio",
        "198.trans.txt:5": "audio file not found",
        "19-198-0099.flac": "no transcript names this file",
    }


def tsv_listing(root):
    root.mkdir()
    soundfile.write(root / "a.flac", tone(440, 16000, 1.0), 16000)
    soundfile.write(root / "b.wav", tone(440, 22050, 2.0), 22050)
    (root / "c.flac").write_bytes(b"\x00" * 100)
    (root / "list.tsv").write_text(
        "# path\ttranscript\na.flac\thello world\nb.wav\ta longer one\nc.flac\tbroken\nmissing.wav\tgone\nno tab here\n"
    )
    return root / "list.tsv", {
        "c.flac": "unreadable audio",
        "list.tsv:5": "audio file not found",
        "list.tsv:6": "two tab-separated columns",
    }


@pytest.mark.parametrize("layout", [librispeech_tree, tsv_listing])
def test_prepare_audio_keeps_good_files_and_reports_every_bad_one(tmp_path, layout, capsys):
    source, expected_skips = layout(tmp_path / "src")
    out = tmp_path / "data" / "train-clean-100"
    summary = prepare.prepare_audio(source, out)
    printed = capsys.readouterr().out
    assert summary["utterances"] == 2
    assert summary["hours"] == pytest.approx(3.0 / 3600, rel=1e-3)
    reasons = {what: why for what, why in summary["skipped"]}
    assert len(reasons) == len(expected_skips)
    for fragment, why in expected_skips.items():
        match = [r for w, r in reasons.items() if w.endswith(fragment)]
        assert match and why in match[0], (fragment, reasons)
        assert fragment in printed
    dataset = ASRDataset("train-clean-100", {**ASR_CONFIG, "root": str(out.parent)}, BrixTokenizer(), True)
    tok = BrixTokenizer()
    assert [tok.decode(s[1:].tolist()) for s in (dataset[0][1], dataset[1][1])] == ["hello world", "a longer one"]
    # 1 s at 16 kHz and 2 s at 22.05 kHz (resampled): 98 and 198 frames of 25 ms every 10 ms.
    assert [f.shape for f in dataset.feats] == [(80, 98), (80, 198)]


def test_rewriting_a_partition_leaves_no_stale_utterances(tmp_path):
    source, _ = librispeech_tree(tmp_path / "src")
    out = tmp_path / "part"
    prepare.prepare_audio(source, out)
    for f in (source / "19" / "198").glob("19-198-0000.*"):
        f.unlink()
    assert prepare.prepare_audio(source, out)["utterances"] == 1
    assert len(list((out / "fbank").glob("*.npy"))) == len(list((out / "text").glob("*.npy"))) == 1


def test_prepare_text_splits_are_disjoint_and_cover_every_line(tmp_path):
    lines = [f"sentence number {i}" for i in range(50)]
    (tmp_path / "t.txt").write_text("\n".join(lines[:25]) + "\n\n   \n" + "\n".join(lines[25:]) + "\n")
    counts = prepare.prepare_text(tmp_path / "t.txt", tmp_path / "lm", splits={"train": 0.8, "dev": 0.1, "test": 0.1})
    assert counts == {"train": 40, "dev": 5, "test": 5}
    seen = []
    for part in counts:
        ds = LMDataset(part, {"root": str(tmp_path / "lm")}, BrixTokenizer())
        seen += [ds.tokenizer.decode(s[1:]) for s in ds.transcripts_shifted]
    assert sorted(seen) == sorted(lines)
    single = prepare.prepare_text(tmp_path / "t.txt", tmp_path / "one")
    assert list(single.values()) == [50]


def test_embedded_texts_are_disjoint_and_spoken_characters_only():
    asr = open(prepare.embedded_text("asr"), encoding="utf-8").read().splitlines()
    lm = open(prepare.embedded_text("lm"), encoding="utf-8").read().splitlines()
    assert len(asr) > 3000 and len(lm) > 10000
    assert not set(asr) & set(lm)
    allowed = set("abcdefghijklmnopqrstuvwxyz' ")
    assert set("".join(asr)) <= allowed and set("".join(lm)) <= allowed
    assert all(3 <= len(s.split()) <= 12 for s in asr)
    with pytest.raises(ValueError, match="expected 'asr' or 'lm'"):
        prepare.embedded_text("other")
