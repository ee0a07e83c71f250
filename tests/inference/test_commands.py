"""velkor transcribe, export and generate: inputs found in folders and lists, a file that cannot be read
skipped while the rest are transcribed (and the exit status saying so), a model file that transcribes as
its experiment."""

import io
import json
import shutil

import pytest
import yaml

from velkor import cli

pytestmark = pytest.mark.usefixtures("single_thread")


def test_transcribe_skips_what_it_cannot_read_and_says_so(workdir, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(workdir)
    folder = tmp_path / "recordings"
    shutil.copytree(workdir / "wavs", folder)
    (folder / "broken.wav").write_bytes(b"RIFF not really")
    assert cli.main(["transcribe", "asr.yaml", str(folder), "--format", "json", "--output", str(tmp_path / "out.json")]) == 1
    err = capsys.readouterr().err
    assert "broken.wav: skipped: " in err and "1 of 5 input(s) could not be transcribed" in err, err
    records = json.loads((tmp_path / "out.json").read_text())
    assert [r["input"].rsplit("/", 1)[-1] for r in records] == ["broken.wav", "utt0.wav", "utt1.wav", "utt2.wav", "utt3.wav"]
    assert records[0]["error"] and all(r["error"] is None for r in records[1:])

    # The same files as a list on standard input, one per line, all readable: exit 0, one line each.
    monkeypatch.setattr("sys.stdin", io.StringIO("".join(f"{folder / f'utt{i}.wav'}\n" for i in range(4))))
    assert cli.main(["transcribe", "asr.yaml", "-"]) == 0
    out = capsys.readouterr().out.splitlines()
    assert [line.split("\t")[1] for line in out] == [r["text"] for r in records[1:]]


def test_an_exported_model_transcribes_as_its_experiment(workdir, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(workdir)
    model_file = tmp_path / "tiny.vkm"
    assert cli.main(["export", "expts/tiny-asr", str(model_file)]) == 0
    assert "Model file: " in capsys.readouterr().out
    assert cli.main(["transcribe", "expts/tiny-asr", "wavs", "--format", "tsv", "--beam", "2"]) == 0
    from_experiment = capsys.readouterr().out
    assert cli.main(["transcribe", str(model_file), "wavs", "--format", "tsv", "--beam", "2"]) == 0
    assert capsys.readouterr().out == from_experiment
    assert from_experiment.startswith("input\ttext\tseconds\terror\n") and from_experiment.count("\n") == 5

    model_file.write_bytes(model_file.read_bytes()[:200])
    assert cli.main(["transcribe", str(model_file), "wavs"]) == 1
    assert capsys.readouterr().err.splitlines()[-1].startswith("velkor: error: ")
    assert cli.main(["transcribe", "asr.yaml", "wavs", "--ctc-weight", "nan"]) == 2


def test_generate_continues_the_prompt(workdir, monkeypatch, capsys):
    monkeypatch.chdir(workdir)
    assert cli.main(["generate", "lm.yaml", "--prompt", "the", "--num", "2", "--top-k", "5", "--seed", "3", "--max-length", "8"]) == 0
    lines = capsys.readouterr().out.splitlines()[-2:]
    assert len(lines) == 2 and all(line.startswith("the") for line in lines), lines


def test_features_on_disk_must_have_the_configured_bins(workdir, tmp_path, monkeypatch, capsys):
    """A configuration whose num_feats differs from the prepared features stops before training."""
    monkeypatch.chdir(tmp_path)
    config = yaml.safe_load((workdir / "asr.yaml").read_text())
    config["data"].update(root=str(workdir / "data"), num_feats=40, train_partition="test-clean", val_partition="test-clean")
    (tmp_path / "c.yaml").write_text(yaml.safe_dump(config))
    assert cli.main(["train", "c.yaml"]) == 2
    err = capsys.readouterr().err.splitlines()[-1]
    assert 'key "data.num_feats" is 40, but the features in' in err and "have 80 bins" in err, err
    assert not (tmp_path / "expts").exists()
