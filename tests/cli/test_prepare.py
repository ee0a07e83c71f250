"""Dataset preparation: filter banks, the user's recordings, text partitions, the embedded text."""

import os
import pathlib
import subprocess
import sys

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
    a transcript line without audio, an audio file no transcript names, and finite float samples so
    large that their power spectrum overflows."""
    chapter = root / "19" / "198"
    chapter.mkdir(parents=True)
    soundfile.write(chapter / "19-198-0000.flac", tone(440, 16000, 1.0), 16000)
    soundfile.write(chapter / "19-198-0001.wav", tone(440, 22050, 2.0), 22050)
    (chapter / "19-198-0002.flac").write_bytes(b"fLaC this is not audio")
    soundfile.write(chapter / "19-198-0003.wav", np.zeros(0, np.float32), 16000)
    soundfile.write(chapter / "19-198-0005.wav", tone(440, 16000, 1.0, amplitude=1e20), 16000, subtype="FLOAT")
    soundfile.write(chapter / "19-198-0099.flac", tone(440, 16000, 1.0), 16000)
    (chapter / "19-198.trans.txt").write_text(
        "19-198-0000 HELLO WORLD\n19-198-0001 A LONGER ONE\n19-198-0002 BROKEN\n19-198-0003 EMPTY\n19-198-0004 NO AUDIO\n"
        "19-198-0005 TOO LOUD\n"
    )
    return root, {
        "19-198-0002.flac": "unreadable audio",
        "19-198-0003.wav": "empty audio",
        "198.trans.txt:5": "audio file not found",
        "19-198-0005.wav": "not finite numbers",
        "19-198-0099.flac": "no transcript names this file",
    }


def tsv_listing(root):
    """A TSV beside its audio: good files, a broken one, a missing one, a malformed line, and float
    samples (1e38) that overflow on the 16-bit scale."""
    root.mkdir()
    soundfile.write(root / "a.flac", tone(440, 16000, 1.0), 16000)
    soundfile.write(root / "b.wav", tone(440, 22050, 2.0), 22050)
    (root / "c.flac").write_bytes(b"\x00" * 100)
    soundfile.write(root / "d.wav", np.full(16000, 1e38, np.float32), 16000, subtype="FLOAT")
    (root / "list.tsv").write_text(
        "# path\ttranscript\na.flac\thello world\nb.wav\ta longer one\nc.flac\tbroken\nmissing.wav\tgone\nno tab here\nd.wav\ttoo loud\n"
    )
    return root / "list.tsv", {
        "c.flac": "unreadable audio",
        "list.tsv:5": "audio file not found",
        "list.tsv:6": "two tab-separated columns",
        "d.wav": "not finite numbers",
    }


def read_manifest(partition):
    lines = (pathlib.Path(partition) / "manifest.tsv").read_text(encoding="utf-8").split("\n")
    assert lines[0] == "id\tsource\tseconds\ttranscript" and lines[-1] == ""
    rows = [line.split("\t") for line in lines[1:-1]]
    assert all(len(row) == 4 for row in rows), rows
    return rows


@pytest.mark.parametrize("layout", [librispeech_tree, tsv_listing])
def test_prepare_audio_keeps_good_files_and_reports_every_bad_one(tmp_path, layout, capsys):
    source, expected_skips = layout(tmp_path / "src\tdir")  # a tab in every source path
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
    # The manifest names each written utterance with its source file and duration.
    rows = read_manifest(out)
    assert [row[0] + ".npy" for row in rows] == sorted(os.listdir(out / "fbank")) == sorted(os.listdir(out / "text"))
    assert [[row[2], row[3].lower()] for row in rows] == [["1.000", "hello world"], ["2.000", "a longer one"]]
    sources = [row[1] for row in rows]
    assert [os.path.basename(s) for s in sources] in (["19-198-0000.flac", "19-198-0001.wav"], ["a.flac", "b.wav"])
    assert all(s.startswith(str(tmp_path / "src dir") + os.sep) for s in sources), sources


def test_rewriting_a_partition_leaves_no_stale_utterances(tmp_path):
    source, _ = librispeech_tree(tmp_path / "src")
    out = tmp_path / "part"
    prepare.prepare_audio(source, out)
    for f in (source / "19" / "198").glob("19-198-0000.*"):
        f.unlink()
    assert prepare.prepare_audio(source, out)["utterances"] == 1
    assert len(list((out / "fbank").glob("*.npy"))) == len(list((out / "text").glob("*.npy"))) == 1
    # A run that prepares nothing fails and leaves the partition it found.
    before = snapshot(out)
    for f in (source / "19" / "198").glob("*.*"):
        if f.suffix in (".flac", ".wav"):
            f.unlink()
    with pytest.raises(ValueError, match=r"No utterance was prepared from .*: all 6 were skipped"):
        prepare.prepare_audio(source, out)
    assert snapshot(out) == before


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
    # Each manifest line points back to the line of the text it came from.
    text_lines = (tmp_path / "t.txt").read_text().splitlines()
    for part in counts:
        rows = read_manifest(tmp_path / "lm" / part)
        assert [row[0] + ".npy" for row in rows] == sorted(p.name for p in (tmp_path / "lm" / part).glob("*.npy"))
        for _, source, seconds, transcript in rows:
            file, line = source.rsplit(":", 1)
            assert (file, seconds, text_lines[int(line) - 1]) == (str(tmp_path / "t.txt"), "", transcript)
    single = prepare.prepare_text(tmp_path / "t.txt", tmp_path / "one")
    assert list(single.values()) == [50]


def snapshot(root):
    """Every file under root with its bytes."""
    root = pathlib.Path(root)
    return {str(p.relative_to(root)): p.read_bytes() for p in sorted(root.rglob("*")) if p.is_file()}


def one_utterance_tree(root):
    (root / "1").mkdir(parents=True)
    soundfile.write(root / "1" / "u.flac", tone(440, 16000, 0.5), 16000)
    (root / "1" / "1.trans.txt").write_text("u hello\n")
    return root


def link(path, target):
    path.symlink_to(target)


def save_array(path):
    path.parent.mkdir(parents=True, exist_ok=True)
    np.save(path, np.zeros(2))


# (setup of tmp before the run, the run, fragment of the refusal or None). The corpus has 5 lines.
DATA_LOSS_CASES = {
    "foreign array in a new text folder": (
        lambda tmp: save_array(tmp / "out" / "mine.npy"),
        lambda tmp: prepare.prepare_text(tmp / "corpus.txt", tmp / "out"),
        r"Refusing to prepare '.*out': it is not empty and has no manifest.tsv .*found 'mine.npy'",
    ),
    "foreign notes in a new text folder": (
        lambda tmp: (tmp / "out").mkdir() or (tmp / "out" / "notes.txt").write_text("mine"),
        lambda tmp: prepare.prepare_text(tmp / "corpus.txt", tmp / "out"),
        "found 'notes.txt'",
    ),
    "foreign features in a new speech folder": (
        lambda tmp: one_utterance_tree(tmp / "tree") and save_array(tmp / "out" / "fbank" / "x.npy"),
        lambda tmp: prepare.prepare_audio(tmp / "tree", tmp / "out"),
        "found 'fbank/x.npy'",
    ),
    "foreign array beside an earlier preparation": (
        lambda tmp: prepare.prepare_text(tmp / "corpus.txt", tmp / "out") and save_array(tmp / "out" / "extra.npy"),
        lambda tmp: prepare.prepare_text(tmp / "corpus.txt", tmp / "out"),
        "'extra.npy' is not listed in its manifest.tsv",
    ),
    "foreign transcript in a speech partition of ours": (
        lambda tmp: prepare.prepare_audio(one_utterance_tree(tmp / "tree"), tmp / "out") and save_array(tmp / "out" / "text" / "x.npy"),
        lambda tmp: prepare.prepare_audio(tmp / "tree", tmp / "out"),
        "'text/x.npy' is not listed",
    ),
    "a manifest we did not write": (
        lambda tmp: (tmp / "out").mkdir() or (tmp / "out" / "manifest.tsv").write_text("id,path\n"),
        lambda tmp: prepare.prepare_text(tmp / "corpus.txt", tmp / "out"),
        "its manifest.tsv was not written by an earlier preparation",
    ),
    "a split leaving the output folder": (
        lambda tmp: save_array(tmp / "elsewhere" / "keep.npy"),
        lambda tmp: prepare.prepare_text(tmp / "corpus.txt", tmp / "out", splits={"train": 0.5, "../elsewhere": 0.5}),
        "Split name '../elsewhere' must be a plain folder name",
    ),
    "an absolute split name": (
        lambda tmp: save_array(tmp / "abs" / "keep.npy"),
        lambda tmp: prepare.prepare_text(tmp / "corpus.txt", tmp / "out", splits={str(tmp / "abs"): 1.0}),
        "must be a plain folder name",
    ),
    "a split linked elsewhere": (
        lambda tmp: (
            save_array(tmp / "elsewhere" / "keep.npy") or save_array(tmp / "out" / "a.npy") or link(tmp / "out" / "train", "../elsewhere")
        ),
        lambda tmp: prepare.prepare_text(tmp / "corpus.txt", tmp / "out", splits={"train": 1.0}),
        r"out/train': it exists and is not a folder \(or is a symbolic link\)",
    ),
    "re-preparing our own folder": (
        # Notes of the user, and a file an interrupted run recorded in its partial manifest.
        lambda tmp: (
            prepare.prepare_text(tmp / "corpus.txt", tmp / "out", splits={"train": 1.0})
            and (tmp / "out" / "train" / "notes.txt").write_text("mine")
            and (tmp / "out" / "train" / "manifest.tsv.partial").write_text("id\tsource\tseconds\ttranscript\n00000009\tc:1\t\tx\n")
            and save_array(tmp / "out" / "train" / "00000009.npy")
        ),
        lambda tmp: prepare.prepare_text(tmp / "short.txt", tmp / "out", splits={"train": 1.0}),
        None,
    ),
}


@pytest.mark.parametrize("case", DATA_LOSS_CASES)
def test_preparation_removes_only_what_it_wrote_and_writes_only_inside_output(tmp_path, case):
    setup, run, refusal = DATA_LOSS_CASES[case]
    (tmp_path / "corpus.txt").write_text("".join(f"line {i}\n" for i in range(5)))
    (tmp_path / "short.txt").write_text("one\ntwo\n")
    setup(tmp_path)
    before = snapshot(tmp_path)
    if refusal is not None:
        with pytest.raises(ValueError, match=refusal):
            run(tmp_path)
        assert snapshot(tmp_path) == before  # refused before anything was touched
        return
    run(tmp_path)
    after = snapshot(tmp_path)
    partition = tmp_path / "out" / "train"
    assert sorted(p.name for p in partition.glob("*.npy")) == ["00000000.npy", "00000001.npy"]
    assert after["out/train/notes.txt"] == b"mine"
    assert not (partition / "manifest.tsv.partial").exists()
    assert sorted(row[3] for row in read_manifest(partition)) == ["one", "two"]


@pytest.mark.parametrize(
    "run, message",
    [
        (lambda tmp: prepare.prepare_audio(tmp, tmp / "out"), r"No utterance was prepared from '.*': it names no audio file"),
        (lambda tmp: prepare.prepare_text(tmp / "blank.txt", tmp / "out"), "it has no non-empty line"),
        (lambda tmp: prepare.prepare_text(tmp / "three.txt", tmp / "out", max_chars=1), "no non-empty line of at most 1 characters"),
        (
            lambda tmp: prepare.prepare_text(tmp / "three.txt", tmp / "out", splits={"train": 0.9, "dev": 0.05}),
            "Split 'dev' would be empty: 0.05 of 3 lines is less than one line",
        ),
        (lambda tmp: prepare.prepare_synth(tmp / "out", num_train=0, num_dev=0, num_test=0), "Nothing to synthesize"),
    ],
)
def test_preparing_nothing_is_an_error(tmp_path, run, message):
    (tmp_path / "blank.txt").write_text("\n   \n\t\n")
    (tmp_path / "three.txt").write_text("aa\nbb\ncc\n")
    with pytest.raises(ValueError, match=message):
        run(tmp_path)
    assert not (tmp_path / "out").exists()


def hostile_files(tmp):
    """Runs in a child process (see the test below): FIFOs in every role, and names and contents that
    are not UTF-8."""
    from velkor.data import ASRDataset, BrixTokenizer, LMDataset, prepare

    tmp = pathlib.Path(tmp)
    chapter = tmp / "tree" / "1"
    chapter.mkdir(parents=True)
    soundfile.write(chapter / "u0.flac", tone(440, 16000, 0.5), 16000)
    soundfile.write(chapter / "u2.flac", tone(440, 16000, 0.5), 16000)
    soundfile.write(os.fsencode(chapter) + b"/u\xff.flac", tone(440, 16000, 0.5), 16000)
    os.mkfifo(chapter / "u1.flac")
    os.mkfifo(chapter / "b.trans.txt")
    (chapter / "a.trans.txt").write_text("u0 good\nu1 a fifo\n")
    (chapter / "c.trans.txt").write_bytes(b"u2 caf\xe9\n")
    os.makedirs(os.fsencode(tmp / "tree") + b"/\xfe")
    soundfile.write(os.fsencode(tmp / "tree") + b"/\xfe/u3.flac", tone(440, 16000, 0.5), 16000)
    summary = prepare.prepare_audio(tmp / "tree", tmp / "speech" / "train")
    assert summary["utterances"] == 1, summary
    expected = {
        "1/u1.flac": "not a regular file",
        "1/b.trans.txt": "unreadable transcript list: it is not a regular file",
        "1/c.trans.txt": "unreadable transcript list: it is not UTF-8 text (byte 0xe9 at offset 6)",
        "1/u2.flac": "no transcript names this file",
        "1/u\\udcff.flac": "file name is not valid UTF-8",
        "\\udcfe": "folder name is not valid UTF-8: its 1 audio and transcript files are skipped",
    }
    assert sorted(summary["skipped"]) == sorted((os.path.join(tmp, "tree", k), v) for k, v in expected.items())

    os.mkfifo(tmp / "list.tsv")
    os.mkfifo(tmp / "corpus.txt")
    (tmp / "latin1.txt").write_bytes(b"first line\nsecond caf\xe9\n")
    (tmp / "good.txt").write_text("first line\n")
    for sub in ("fbank", "text"):
        os.mkfifo(tmp / "speech" / "train" / sub / "zz.npy")
    (tmp / "lm" / "train").mkdir(parents=True)
    os.mkfifo(tmp / "lm" / "train" / "a.npy")
    (tmp / "ours").mkdir()
    os.mkfifo(tmp / "ours" / "manifest.tsv")
    config = {**ASR_CONFIG, "root": str(tmp / "speech")}
    cases = [
        (lambda: prepare.prepare_audio(tmp / "list.tsv", tmp / "x"), "list.tsv': it is neither a folder nor a regular file"),
        (lambda: prepare.prepare_text(tmp / "corpus.txt", tmp / "x"), "corpus.txt': it is not a regular file"),
        (lambda: prepare.prepare_text(tmp / "latin1.txt", tmp / "x"), r"latin1.txt': it is not UTF-8 text \(byte 0xe9 at offset 21\)"),
        (lambda: prepare.prepare_synth(tmp / "x", text_file=tmp / "latin1.txt"), "latin1.txt': it is not UTF-8 text"),
        (lambda: ASRDataset("train", config, BrixTokenizer(), True), "fbank/zz.npy': it is not a regular file"),
        (lambda: LMDataset("train", {"root": str(tmp / "lm")}, BrixTokenizer()), "train/a.npy': it is not a regular file"),
        (lambda: prepare.prepare_text(tmp / "good.txt", tmp / "ours"), "its manifest.tsv was not written .*not a regular file"),
    ]
    for run, message in cases:
        with pytest.raises(ValueError, match=message):
            run()
    assert not (tmp / "x").exists()


def test_hostile_files_are_skipped_or_refused_without_blocking(tmp_path):
    code = f"import runpy, sys; runpy.run_path({__file__!r})['hostile_files'](sys.argv[1])"
    done = subprocess.run([sys.executable, "-c", code, str(tmp_path)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-4000:]


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


@pytest.mark.parametrize(
    "argv, status, fragment",
    [
        (["prepare", "text", "corpus.txt", "out", "--splits", "train=0.5,train=0.5"], 2, "the partition 'train' is named twice"),
        (["prepare", "text", "corpus.txt", "out", "--splits", "train=half"], 2, "expected NAME=FRACTION"),
        (["prepare", "text", "corpus.txt", "out", "--splits", "../elsewhere=1.0"], 1, "elsewhere"),
        (["prepare", "text", "empty.txt", "out"], 1, "empty.txt"),
        (["prepare", "audio", "recordings", "out"], 1, "No utterance was prepared"),
        (["prepare", "audio", "recordings", "out", "--speed-perturb", "0.9,fast"], 2, "--speed-perturb: expected numbers"),
        (["prepare", "audio", "recordings", "out", "--speed-perturb", "3"], 1, "from 0.5 to 2.0, got 3.0"),
        (["prepare", "synth", "--output", "out", "--speed-perturb", ","], 2, "--speed-perturb: expected numbers"),
    ],
)
def test_the_command_reports_what_was_not_prepared(tmp_path, monkeypatch, capsys, argv, status, fragment):
    """The command line's face of the rules above: one line and a non-zero status, nothing written."""
    from velkor import cli

    monkeypatch.chdir(tmp_path)
    (tmp_path / "corpus.txt").write_text("one line\nanother line\n")
    (tmp_path / "empty.txt").write_text("\n\n")
    (tmp_path / "recordings").mkdir()
    (tmp_path / "recordings" / "a.flac").write_bytes(b"not audio")
    assert cli.main(argv) == status
    last = capsys.readouterr().err.splitlines()[-1]
    assert last.startswith("velkor: error: ") and fragment in last, last
    assert not (tmp_path / "out").exists() or not any((tmp_path / "out").rglob("*.npy"))
    assert not (tmp_path / "elsewhere").exists()
