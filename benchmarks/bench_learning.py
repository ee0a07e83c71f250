"""Learning per CPU-second: a speech recognizer trained for a time budget on synthesized speech,
tested on voices, pitches, speeds and sentences it never heard; and a character language model
trained for a budget on the embedded LM text, against its unigram model.

    PYTHONPATH=src .venv/bin/python benchmarks/bench_learning.py [--asr-minutes 30] [--lm-minutes 10]
        [--asr-config examples/configs/asr-cpu-30min.yaml] [--lm-config examples/configs/lm-cpu-10min.yaml]
        [--work /tmp/velkor-learning] [--train 1800]

Data: training and validation speech from the synthesizer's default voices (pitch 35-65, 130-170
words per minute) on the embedded ASR text, the training speech also at 0.9 and 1.1 times the
speed; test speech from three voices never used in training, spoken higher (pitch 70-85) and
faster (175-195 wpm), on sentences of the embedded LM text (no test sentence is a training one).
Everything goes through the `velkor` command as a user runs it: `prepare`, `train --minutes M`,
`evaluate`.

Printed: test CER/WER of every decoding `velkor evaluate` reports (attention greedy and beam, joint
CTC/attention greedy and beam, CTC best path), the LM's validation perplexity per character
against the unigram model's, the wall and CPU seconds of each training run and the load average.
Goals: joint CTC/attention beam CER <= 10% and attention greedy CER <= 15% after 30 minutes; LM
perplexity <= 3.0 after 10 minutes. Run it on an idle machine: the budget buys fewer updates on a
busy one (the load is printed).
"""

import argparse
import collections
import json
import math
import os
import re
import resource
import subprocess
import sys
import time
from pathlib import Path

import yaml

ROOT = Path(__file__).resolve().parents[1]
HELD_OUT_VOICES = ["en-gb-scotland+m2", "en-029+f5", "en-us-nyc+m6"]


def velkor(*argv, cwd):
    """Runs the velkor command as a user does; returns (wall seconds, CPU seconds of the child)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    command = [sys.executable, "-c", "import sys; from velkor import cli; sys.exit(cli.main(sys.argv[1:]))", *map(str, argv)]
    # The command runs in the work folder: a relative PYTHONPATH (PYTHONPATH=src) is made absolute.
    path = os.pathsep.join(os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p)
    subprocess.run(command, cwd=cwd, check=True, env={**os.environ, "PYTHONPATH": path})
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return time.monotonic() - start, cpu


def held_out_sentences(path, count):
    """Sentences of 3-12 words from the end of the embedded LM text, none of them in the ASR text."""
    corpus = ROOT / "src" / "velkor" / "resources" / "corpus"
    asr = set((corpus / "asr.txt").read_text(encoding="utf-8").splitlines())
    lines = [line for line in (corpus / "lm.txt").read_text(encoding="utf-8").splitlines() if 3 <= len(line.split()) <= 12]
    chosen = [line for line in reversed(lines) if line not in asr][:count]
    path.write_text("\n".join(chosen) + "\n", encoding="utf-8")


def prepare_speech(work, num_train, speeds):
    from velkor.data.prepare import prepare_synth

    data = work / "speech"
    if (data / "test-clean").exists():
        print(f"Reusing the speech data in {data}")
        return data
    seen, unseen = work / "seen", work / "unseen"
    prepare_synth(seen, num_train=num_train, num_dev=100, num_test=1, speed_perturb=speeds or None)
    held_out_sentences(work / "held-out.txt", 600)
    prepare_synth(
        unseen, text_file=work / "held-out.txt", num_train=1, num_dev=1, num_test=200, voices=HELD_OUT_VOICES,
        min_rate=175, max_rate=195, min_pitch=70, max_pitch=85, seed=1,
    )  # fmt: skip
    data.mkdir(parents=True, exist_ok=True)
    for name, source in [("train-clean-100", seen), ("dev-clean", seen), ("test-clean", unseen)]:
        (data / name).symlink_to((source / name).resolve(), target_is_directory=True)
    return data


def with_data(config_path, root, work, name):
    config = yaml.safe_load(Path(config_path).read_text(encoding="utf-8"))
    config["name"] = name
    config["data"]["root"] = str(root)
    out = work / f"{name}.yaml"
    out.write_text(yaml.safe_dump(config, sort_keys=False), encoding="utf-8")
    return out


def speech(work, args):
    data = prepare_speech(work, args.train, [float(f) for f in args.speed_perturb.split(",") if f])
    config = with_data(args.asr_config, data, work, "learning-asr")
    load = os.getloadavg()[0]
    wall, cpu = velkor("train", config, "--minutes", args.asr_minutes, "--overwrite", cwd=work)
    velkor("evaluate", config, cwd=work)
    rows = json.loads((work / "expts" / "learning-asr" / "evaluation" / "results.json").read_text())
    print(f"\nSpeech: {args.asr_minutes} minute budget, trained in {wall:.0f} s wall, {cpu:.0f} CPU-s (load before {load:.1f})")
    print("Test on unseen voices, pitches, speeds and sentences:")
    for row in rows:
        if row["CER (%)"] is None:
            print(f"  {row['decoding']:32s} {row.get('note', '')}")
        else:
            print(f"  {row['decoding']:32s} CER {row['CER (%)']:6.2f}%  WER {row['WER (%)']:6.2f}%")
    cer = {row["decoding"]: row["CER (%)"] for row in rows}
    joint = min((v for k, v in cer.items() if k.startswith("joint_ctc_attention_beam") and v is not None), default=float("nan"))
    greedy = cer.get("greedy") or float("nan")
    print(f"joint CTC/attention beam CER {joint:.2f}% (goal <= 10), attention greedy CER {greedy:.2f}% (goal <= 15)")


def unigram_perplexity(train_dir, val_dir):
    """Per-character perplexity of the training characters' unigram model on the validation text
    (add-one smoothing over the characters seen anywhere)."""
    import numpy as np

    def text(folder):
        return "".join("".join(np.load(f, allow_pickle=False).tolist()) for f in sorted(Path(folder).glob("*.npy")))

    train, val = text(train_dir), text(val_dir)
    counts = collections.Counter(train)
    alphabet = set(train) | set(val)
    total = len(train) + len(alphabet)
    return math.exp(-sum(math.log((counts[c] + 1) / total) for c in val) / len(val))


def language(work, args):
    data = work / "lm"
    if not (data / "train").exists():
        velkor("prepare", "text", "embedded:lm", data, "--splits", "train=0.94,dev=0.03,test=0.03", "--max-chars", "200", cwd=work)
    config = with_data(args.lm_config, data, work, "learning-lm")
    load = os.getloadavg()[0]
    wall, cpu = velkor("train", config, "--minutes", args.lm_minutes, "--overwrite", cwd=work)
    history = json.loads((work / "expts" / "learning-lm" / "training_history.json").read_text())
    best = min(math.exp(r["val"]["ce_loss_char"]) for r in history if "val" in r)
    unigram = unigram_perplexity(data / "train", data / "dev")
    print(f"\nLanguage model: {args.lm_minutes} minute budget, trained in {wall:.0f} s wall, {cpu:.0f} CPU-s (load before {load:.1f})")
    print(f"validation perplexity per character {best:.2f} (goal <= 3.0); unigram model {unigram:.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--asr-minutes", type=float, default=30.0)
    parser.add_argument("--lm-minutes", type=float, default=10.0)
    parser.add_argument("--asr-config", default=ROOT / "examples" / "configs" / "asr-cpu-30min.yaml")
    parser.add_argument("--lm-config", default=ROOT / "examples" / "configs" / "lm-cpu-10min.yaml")
    parser.add_argument("--work", type=Path, default=Path("/tmp/velkor-learning"))
    parser.add_argument("--train", type=int, default=1800, help="training utterances")
    parser.add_argument("--speed-perturb", default="0.9,1.0,1.1", help="speeds of the training speech ('' for none)")
    parser.add_argument("--only", choices=["asr", "lm"])
    args = parser.parse_args()
    for name in ("asr_config", "lm_config"):
        if not Path(getattr(args, name)).exists():
            fallback = ROOT / "examples" / "configs" / re.sub(r"-cpu-\d+min", "", Path(getattr(args, name)).name)
            print(f"{getattr(args, name)} is not there: using {fallback}")
            setattr(args, name, fallback)
    args.work.mkdir(parents=True, exist_ok=True)
    print(f"Work folder {args.work}; {len(os.sched_getaffinity(0))} CPUs, load average {os.getloadavg()[0]:.1f}")
    if args.only != "lm":
        speech(args.work, args)
    if args.only != "asr":
        language(args.work, args)


if __name__ == "__main__":
    main()
