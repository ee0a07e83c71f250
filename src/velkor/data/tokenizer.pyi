"""Character-level and sub-word tokenizer with a fixed special-id layout."""

import os
from collections.abc import Iterable, Sequence
from typing import Any

import torch

DEFAULT_CHARACTERS: str
"""The default character vocabulary: space, apostrophe, a-z, 0-9 and . , ? ! - : ; " ( )."""

class BrixTokenizer:
    """Turns transcript text into token ids and back.

    Ids: 0 padding (also the CTC blank), 1 start, 2 end, 3 unknown, 4 and up real text.

    token_type "char" (default): one id per character of `characters` (DEFAULT_CHARACTERS when
    None; each character at most once), in that order from id 4 on. Any other character encodes
    as `unk_id` and decodes as "⁇". With `lowercase` (default) text is lower-cased before encoding.

    token_type "subword": a sentencepiece model read from `model_file` (it must define padding,
    start and end pieces; `train_subword` builds one). Special ids are read from the model.

    `save(path)` / `BrixTokenizer.load(path)` keep a tokenizer in one JSON file (a sub-word model
    travels inside it); pickling and copying use the same state.
    """

    token_type: str
    lowercase: bool
    characters: str | None
    pad_id: int
    sos_id: int
    eos_id: int
    unk_id: int
    num_classes: int

    def __init__(
        self,
        token_type: str = "char",
        characters: str | None = None,
        lowercase: bool = True,
        model_file: str | os.PathLike[str] | None = None,
    ) -> None: ...
    def encode(self, text: str) -> list[int]:
        """Token ids of `text` as a plain list of ints, without start or end id. Characters outside the
        vocabulary encode as `unk_id`."""
    def decode(self, ids: Sequence[int] | torch.Tensor, skip_special_tokens: bool = False) -> str:
        """Text of `ids` (a list of ints or a 1-D tensor). With skip_special_tokens the start, end and
        padding ids contribute no text; otherwise they are written as <sos>, <eos>, <pad>.
        An id outside [0, num_classes) raises ValueError."""
    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the tokenizer (vocabulary or sub-word model included) to one file."""
    @staticmethod
    def load(path: str | os.PathLike[str]) -> BrixTokenizer:
        """Rebuilds a tokenizer written by BrixTokenizer.save."""
    @staticmethod
    def train_subword(
        corpus: str | os.PathLike[str] | Iterable[str],
        vocab_size: int,
        model_type: str = "unigram",
        lowercase: bool = True,
        character_coverage: float = 1.0,
    ) -> BrixTokenizer:
        """Trains a sentencepiece sub-word model on `corpus` (a text file, one sentence per line, or an
        iterable of sentences) and returns a tokenizer using it. model_type: "unigram", "bpe",
        "char" or "word"; vocab_size counts the four special pieces."""
    def __getstate__(self) -> dict[str, Any]: ...
    def __setstate__(self, state: dict[str, Any]) -> None: ...
