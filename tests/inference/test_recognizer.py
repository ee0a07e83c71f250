"""Using a trained model: Recognizer transcripts equal `velkor evaluate`'s hypotheses, audio files give
the features data preparation wrote for them, bad inputs get their own error, long recordings are
cut at their quietest points into pieces covering every sample once, and LanguageModel.generate is
repeatable."""

import json

import numpy as np
import pytest
import soundfile
import torch
from hypothesis import given, settings
from hypothesis import strategies as st

from velkor import LanguageModel, Recognizer, cli
from velkor.recognizer import split_waveform

pytestmark = pytest.mark.usefixtures("single_thread")


def fbank_files(workdir):
    return sorted((workdir / "data" / "test-clean" / "fbank").iterdir())


def test_greedy_transcripts_equal_evaluate_hypotheses(workdir, monkeypatch, capsys):
    monkeypatch.chdir(workdir)
    assert cli.main(["evaluate", "asr.yaml", "--threads", "1"]) == 0
    capsys.readouterr()
    evaluated = json.loads((workdir / "expts" / "tiny-asr" / "evaluation" / "hypotheses_greedy.json").read_text())
    by_id = {r["id"]: r for r in evaluated}
    files = fbank_files(workdir)
    rec = Recognizer.from_experiment("asr.yaml")
    records = rec.transcribe([np.load(f) for f in files], ctc_weight=0.0, batch_size=3)
    assert [r["text"] for r in records] == [by_id[f.stem]["generated"] for f in files]
    assert [r["score"] for r in records] == pytest.approx([by_id[f.stem]["score"] for f in files], abs=1e-4)
    assert all(r["error"] is None and r["input"] == f"<array {i}>" for i, r in enumerate(records))
    assert all(rec.tokenizer.decode(r["tokens"]) == r["text"] for r in records)


def test_audio_files_are_heard_as_prepared(workdir):
    """Read, resampled and turned into filter banks as `prepare audio` did: same transcripts, same scores."""
    rec = Recognizer.from_experiment(workdir / "expts" / "tiny-asr")
    files = fbank_files(workdir)
    wavs = [workdir / "wavs" / f"utt{int(f.stem)}.wav" for f in files]
    from_wav = rec.transcribe(wavs, beam_width=2)
    from_fbank = rec.transcribe([np.load(f) for f in files], beam_width=2)
    for w, a, b in zip(wavs, from_wav, from_fbank):
        assert (a["input"], a["error"]) == (str(w), None)
        assert (a["text"], a["tokens"]) == (b["text"], b["tokens"])
        assert a["score"] == pytest.approx(b["score"], abs=1e-5)
        data, rate = soundfile.read(w)
        assert a["seconds"] == pytest.approx(len(data) / rate)
        assert a["segments"] == [[0.0, pytest.approx(len(data) / rate, abs=1e-3)]]
    # A waveform array is the same recording.
    data, rate = soundfile.read(wavs[1], dtype="float32")
    wave = rec.transcribe(torch.from_numpy(data), sample_rate=rate, beam_width=2)[0]
    assert (wave["text"], wave["input"]) == (from_wav[1]["text"], "<array 0>")


def test_bad_inputs_get_their_own_error(workdir, tmp_path):
    rec = Recognizer.from_experiment(workdir / "expts" / "tiny-asr")
    wav = workdir / "wavs" / "utt0.wav"
    (tmp_path / "noise.wav").write_bytes(b"not audio at all")
    inputs = [
        tmp_path / "missing.wav",
        wav,
        tmp_path / "noise.wav",
        np.zeros((3, 20), np.float32),
        np.zeros(8000, np.float32),
        np.full((80, 30), np.nan, np.float32),
        np.zeros(100, np.float32),
        {"not": "audio"},
    ]
    kwargs = {}
    records = rec.transcribe(inputs, **kwargs)
    errors = [r["error"] for r in records]
    assert errors[1] is None and records[1]["text"] == rec.transcribe(str(wav))[0]["text"]
    expected = ["no such file", None, "unreadable audio", "num_feats 80", "needs sample_rate", "not finite", "sample_rate", "not an audio"]
    for error, fragment in zip(errors, expected):
        assert (error is None) if fragment is None else fragment in error
    short = rec.transcribe(np.zeros(100, np.float32), sample_rate=16000)[0]["error"]
    assert short == "shorter than one 25 ms frame"
    # Inputs shorter than the front-end takes, alone in their batch, are transcribed.
    tiny = rec.transcribe([np.zeros(400, np.float32), np.ones((80, 1), np.float32)], sample_rate=8000, batch_size=1)
    assert [r["error"] for r in tiny] == [None, None]


def test_long_recording_is_split_into_pieces_that_fit(workdir, tmp_path):
    rec = Recognizer.from_experiment(workdir / "expts" / "tiny-asr")
    rng = np.random.default_rng(3)
    seconds = 2.5 * rec.max_frames / 100
    x = (0.2 * rng.standard_normal(int(16000 * seconds))).astype(np.float32)
    x[16000:16400] = 0.0  # a silent 25 ms: the first cut falls there when it is within reach
    soundfile.write(tmp_path / "long.wav", x, 16000)
    record = rec.transcribe(tmp_path / "long.wav")[0]
    segments = record["segments"]
    assert record["error"] is None and len(segments) >= 3
    assert segments[0][0] == 0.0 and segments[-1][1] == pytest.approx(len(x) / 16000)
    assert all(a[1] == b[0] for a, b in zip(segments, segments[1:]))
    assert all((e - s) * 100 <= rec.max_frames + 2 for s, e in segments)


@settings(max_examples=60, deadline=None)
@given(
    n=st.integers(0, 40000),
    max_frames=st.integers(8, 120),
    gap=st.floats(0.0, 1.0),
    seed=st.integers(0, 2**16),
)
def test_split_covers_every_sample_once_in_order(n, max_frames, gap, seed):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal(n).astype(np.float32) + 1.0
    quiet = int(gap * n) // 160 * 160
    x[quiet : quiet + 480] = 0.0
    pieces = split_waveform(x, max_frames)
    assert pieces[0][0] == 0 and pieces[-1][1] == n
    assert all(a[1] == b[0] and a[0] < a[1] for a, b in zip(pieces, pieces[1:]))
    frames = [0 if e - s < 400 else 1 + (e - s - 400) // 160 for s, e in pieces]
    assert all(f <= max_frames for f in frames)
    if n >= 400:
        assert all(f >= 1 for f in frames)
    if len(pieces) == 1:
        assert n < 400 or 1 + (n - 400) // 160 <= max_frames
    # The first cut is at the silence when the silence lies in its search window.
    window = min(max_frames // 4, 300)
    if len(pieces) > 1 and max_frames - window + 1 <= (quiet + 240) // 160 <= max_frames - 1:
        assert quiet <= pieces[0][1] <= quiet + 480


def test_language_model_generation_is_repeatable(workdir):
    lm = LanguageModel.from_experiment(workdir / "lm.yaml")
    sampled = lm.generate("the ca", num=3, max_length=12, top_k=8, seed=5)
    assert sampled == lm.generate("the ca", num=3, max_length=12, top_k=8, seed=5)
    assert len(sampled) == 3 and all(s.startswith("the ca") for s in sampled)
    assert all(len(s) <= len("the ca") + 12 for s in sampled)
    beams = lm.generate("a", num=2, beam_width=3, max_length=8)
    assert len(beams) == 2 and all(s.startswith("a") for s in beams)
    with pytest.raises(ValueError, match="not a speech model"):
        Recognizer.from_experiment(workdir / "lm.yaml")


def test_fusion_with_a_language_model(workdir):
    """lm_weight 0 leaves the transcripts as they are; the LM may come as a folder, a LanguageModel or a model file."""
    files = fbank_files(workdir)[:2]
    inputs = [np.load(f) for f in files]
    plain = Recognizer.from_experiment(workdir / "expts" / "tiny-asr").transcribe(inputs, beam_width=2)
    fused = Recognizer.from_experiment(workdir / "expts" / "tiny-asr", lm=workdir / "expts" / "tiny-lm")
    assert [r["text"] for r in fused.transcribe(inputs, beam_width=2, lm_weight=0.0)] == [r["text"] for r in plain]
    heavy = fused.transcribe(inputs, beam_width=2, lm_weight=5.0)
    assert all(r["error"] is None for r in heavy)
    lm = LanguageModel.from_experiment(workdir / "expts" / "tiny-lm")
    again = Recognizer.from_experiment(workdir / "asr.yaml", lm=lm).transcribe(inputs, beam_width=2, lm_weight=5.0)
    assert [r["text"] for r in again] == [r["text"] for r in heavy]


def test_input_failing_after_its_first_piece_keeps_no_piece(workdir):
    """Normalizing the second piece of a long input fails: that input gets the error and none of its
    pieces is decoded, the next input is transcribed as alone."""
    rec = Recognizer.from_experiment(workdir / "expts" / "tiny-asr")
    mean, std = rec.stats
    uses = []

    class FailsOnSecondUse:
        def cpu(self):
            return self

        def unsqueeze(self, dim):
            uses.append(dim)
            if len(uses) == 2:
                raise RuntimeError("statistics gone")
            return mean.unsqueeze(dim)

    other = np.load(fbank_files(workdir)[0])
    alone = rec.transcribe(other)[0]
    rec.stats = (FailsOnSecondUse(), std)
    records = rec.transcribe([np.ones((80, 2 * rec.max_frames), np.float32), other])
    assert len(uses) == 3
    assert "statistics gone" in records[0]["error"] and records[0]["segments"] == []
    assert (records[0]["text"], records[0]["tokens"], records[0]["score"]) == ("", [], None)
    assert records[1]["error"] is None and records[1]["text"] == alone["text"]
