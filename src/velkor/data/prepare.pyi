"""Dataset preparation: synthesized speech, the user's recordings and text, in the layout the datasets read.

Speech partitions: ``<root>/<partition>/fbank/<id>.npy`` (float32 (80, frames) log-mel filter banks)
and ``<root>/<partition>/text/<id>.npy`` (1-D array of characters joining to the transcript).
Text partitions: ``<partition>/<id>.npy`` transcript arrays. Every partition also gets
``manifest.tsv``: a header line ``id<TAB>source<TAB>seconds<TAB>transcript`` and one line per
utterance (source: the absolute path of the audio file, or ``FILE:LINE`` of the text; seconds: the
audio's duration, empty for text partitions).

The manifest is the record of what was written. A folder holding one is replaced when written again:
exactly the files its manifest lists are removed, other files are left alone. A folder without one
must be new or empty; an existing folder that holds anything else, or a ``.npy`` file its manifest
does not list, is refused with ``ValueError`` before anything is touched. Nothing is written outside
the output folder (split names are plain folder names). A preparation that produces no utterance, or
a partition that would be empty, raises ``ValueError``.
"""

import os
from typing import Any

import numpy as np
import numpy.typing as npt

SAMPLE_RATE: int
"""16000: the rate features are computed at."""

def compute_fbank(samples: npt.ArrayLike, sample_rate: int, num_bins: int = 80) -> npt.NDArray[np.float32]:
    """80-dimensional (num_bins) Kaldi-compatible log-mel filter banks of a 1-D signal, as float32
    (num_bins, frames): 25 ms frames every 10 ms, no dither. The signal is resampled to 16 kHz with soxr
    first when sample_rate differs; integer samples are read as 16-bit values, floating-point samples as
    [-1, 1]."""

def prepare_synth(
    output_dir: str | os.PathLike[str],
    text_file: str | os.PathLike[str] | None = None,
    num_train: int = 2000,
    num_dev: int = 100,
    num_test: int = 100,
    voices: list[str] | tuple[str, ...] | None = None,
    min_words: int = 3,
    max_words: int = 12,
    min_rate: int = 130,
    max_rate: int = 170,
    min_pitch: int = 35,
    max_pitch: int = 65,
    seed: int = 0,
    speed_perturb: list[float] | tuple[float, ...] | None = None,
) -> dict[str, Any]:
    """Builds a speech dataset under output_dir (partitions train-clean-100, dev-clean and test-clean, each with
    fbank/, text/ and manifest.tsv) from sentences of text_file (one per line; the embedded text when None or
    "embedded:asr"), spoken by eSpeak NG with a voice, a speed (min_rate-max_rate words per minute) and a
    pitch drawn per utterance. Only sentences of min_words-max_words words are used; test and dev take theirs
    first. speed_perturb (factors in [0.5, 2], e.g. [0.9, 1.0, 1.1]) also writes each training utterance at
    each speed other than 1, as sp<factor>-<id>. Needs the 'synth' extra. Raises ValueError when a partition
    asked for would be empty. Returns a summary."""

def prepare_audio(
    source: str | os.PathLike[str],
    output_dir: str | os.PathLike[str],
    num_bins: int = 80,
    speed_perturb: list[float] | tuple[float, ...] | None = None,
) -> dict[str, Any]:
    """Builds one partition (output_dir/fbank, output_dir/text, output_dir/manifest.tsv) from recordings: `source` is
    a LibriSpeech-style folder (*.trans.txt beside *.flac) or a TSV file of audio path and transcript. Audio
    is read with soundfile and resampled to 16 kHz with soxr. speed_perturb (factors in [0.5, 2], e.g. [0.9,
    1.0, 1.1]; a training partition only) also writes each utterance at each speed other than 1, as
    sp<factor>-<id>. Unreadable, empty or untranscribed files are skipped and listed; when nothing is left,
    ValueError is raised after the list. Returns {'partition', 'utterances', 'hours', 'skipped': [(file,
    reason), ...], 'speed_perturb': [factor, ...]}."""

def prepare_text(
    text_file: str | os.PathLike[str],
    output_dir: str | os.PathLike[str],
    splits: dict[str, float] | None = None,
    seed: int = 0,
    max_chars: int | None = None,
) -> dict[str, int]:
    """Writes one transcript array per non-empty line of text_file ("embedded:lm" or "embedded:asr" for the embedded
    text), with a manifest.tsv. Without splits output_dir is the partition; with splits ({'train': 0.9, 'dev':
    0.05, ...}) the lines are shuffled (seed) and dealt out to output_dir/<name> by fraction. Lines longer
    than max_chars characters are skipped (and counted). Raises ValueError when a partition would be empty.
    Returns {partition: count}."""

def embedded_text(name: str) -> str:
    """Path of the embedded public-domain text: 'asr' (sentences for speech) or 'lm' (a disjoint set for
    the language model), one normalized sentence per line."""
