"""Using trained models: Recognizer (speech to text), LanguageModel (continuations), and one-file model files (.vkm).

A model file is one safetensors file: tensors "model.<state-dict name>" and, for a model
normalized with global statistics, "stats.mean" and "stats.std"; its text header holds "format"
("velkor-model"), "version" ("1"), "task", "config" (the checked configuration as JSON) and
"tokenizer" (what BrixTokenizer.save writes, a sub-word model included). Reading one runs no code:
it is parsed by safetensors alone and checked (format, version, configuration, tokenizer, tensor
names and shapes) before a model is built; a damaged, truncated or foreign file raises ValueError
naming it.
"""

import os
from collections.abc import Sequence
from typing import Any

import numpy as np
import torch

from velkor.data.tokenizer import BrixTokenizer

FORMAT: str
VERSION: str

Input = str | os.PathLike[str] | np.ndarray[Any, Any] | torch.Tensor

def export_model(experiment: str | os.PathLike[str], out_path: str | os.PathLike[str]) -> str:
    """Writes the trained model of an experiment (its folder or configuration file) to one model file (.vkm: safetensors
    weights, feature statistics, and the configuration and tokenizer as JSON). Returns out_path."""

def read_model_file(path: str | os.PathLike[str]) -> dict[str, Any]:
    """Reads and checks a model file without running anything from it. Returns {'config', 'tokenizer', 'state_dict',
    'stats' ((mean, std) or None), 'task'}; a damaged or foreign file raises ValueError naming it."""

def split_waveform(samples: np.ndarray[Any, Any] | torch.Tensor, max_frames: int) -> list[tuple[int, int]]:
    """[(start, end), ...] sample ranges of 16 kHz samples, in order and covering every sample once, each giving at most
    max_frames filter-bank frames; cuts fall where the signal is quietest, searched in the last quarter of the limit
    before each piece would grow too long."""

class LanguageModel:
    """Text continuations with a trained language model. Attributes: model, tokenizer, config, device."""

    model: torch.nn.Module
    tokenizer: BrixTokenizer
    config: dict[str, Any]
    device: str

    def __init__(self, model: torch.nn.Module, tokenizer: BrixTokenizer, config: dict[str, Any], device: str | None = None) -> None: ...
    @staticmethod
    def from_experiment(path: str | os.PathLike[str], device: str | None = None) -> LanguageModel:
        """A LanguageModel of an experiment: its folder (expts/<name>) or its configuration file."""
    @staticmethod
    def from_file(path: str | os.PathLike[str], device: str | None = None) -> LanguageModel:
        """A LanguageModel of a model file (.vkm)."""
    def generate(
        self,
        prompt: str = "",
        *,
        num: int = 1,
        max_length: int = 100,
        temperature: float = 1.0,
        top_k: int = 0,
        top_p: float = 0.0,
        beam_width: int = 1,
        length_penalty: float = 0.0,
        seed: int | None = None,
    ) -> list[str]:
        """num continuations of prompt (the prompt included) of at most max_length tokens after it: sampled when top_k or
        top_p is set (seed makes them repeatable), else the beam_width best of a beam search (ranked by total /
        length^length_penalty), else greedy."""

class Recognizer:
    """Speech to text with a trained model: audio read and turned into filter banks as data preparation does, normalized
    as in training, decoded as the ASR trainer's recognition does. Attributes: model, tokenizer, config, device,
    num_feats, max_frames (the longest input in frames before it is split), stats, lm.

    Inputs are batched by length. An input longer than max_frames (encoder frames after time
    reduction within the model's max_len, with a margin) is cut where it is quietest into pieces
    within the limit, transcribed piece by piece and joined; "segments" gives the pieces' times.
    Decoding: beam_width 1 greedy, more beam search; ctc_weight None takes the model's trained
    joint setting (the configured recognition.ctc_weight, 0.3 by default, for a model trained with
    a CTC loss, else 0); lm_weight weighs the language model when one was given. max_length None
    takes recognition.max_length when configured, else the encoder frames of the batch's longest
    input plus 10 (at most the model's max_len).
    """

    model: torch.nn.Module
    tokenizer: BrixTokenizer
    config: dict[str, Any]
    device: str
    num_feats: int
    max_frames: int
    stats: tuple[torch.Tensor, torch.Tensor] | None
    lm: LanguageModel | None

    def __init__(
        self,
        model: torch.nn.Module,
        tokenizer: BrixTokenizer,
        config: dict[str, Any],
        stats: tuple[torch.Tensor, torch.Tensor] | None = None,
        lm: LanguageModel | str | os.PathLike[str] | None = None,
        device: str | None = None,
    ) -> None: ...
    @staticmethod
    def from_experiment(
        path: str | os.PathLike[str], lm: LanguageModel | str | os.PathLike[str] | None = None, device: str | None = None
    ) -> Recognizer:
        """A Recognizer of an experiment: its folder (expts/<name>) or its configuration file. lm: None, a LanguageModel, or a language model's experiment folder, configuration file or model file."""
    @staticmethod
    def from_file(
        path: str | os.PathLike[str], lm: LanguageModel | str | os.PathLike[str] | None = None, device: str | None = None
    ) -> Recognizer:
        """A Recognizer of a model file (.vkm); lm as for from_experiment."""
    def transcribe(
        self,
        inputs: Input | Sequence[Input],
        *,
        sample_rate: int | None = None,
        beam_width: int = 1,
        ctc_weight: float | None = None,
        lm_weight: float = 0.3,
        batch_size: int = 8,
        max_length: int | None = None,
        progress: bool = False,
    ) -> list[dict[str, Any]]:
        """Transcribes inputs: one or a list of audio file paths, waveforms (1-D arrays, sample_rate= required) or filter banks
        (2-D (num_feats, frames) arrays). Returns one record per input, in input order: {'input', 'text', 'tokens', 'score',
        'seconds', 'decode_seconds', 'segments', 'error'}; an input that cannot be used gets its error and the others are
        transcribed."""
