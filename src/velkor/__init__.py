"""velkor: attention-based speech recognition and language models on PyTorch.

Subpackages: `velkor.model` (blocks and assembled models), `velkor.data` (tokenizer, datasets),
`velkor.decoding` (sequence generator), `velkor.utils` (optimizer and schedule factories).
Trained models are used through `Recognizer` and `LanguageModel`, and shared as one file with
`export_model` (all from `velkor.recognizer`).
"""

from typing import TYPE_CHECKING

from velkor._lazy import LazyExports

__version__ = "0.1.0"

_EXPORTS = {
    "Recognizer": ".recognizer",
    "LanguageModel": ".recognizer",
    "export_model": ".recognizer",
    "read_model_file": ".recognizer",
}
__all__ = list(_EXPORTS)

_lazy = LazyExports(__name__, _EXPORTS)
__getattr__, __dir__ = _lazy.load, _lazy.names


if TYPE_CHECKING:
    from .recognizer import LanguageModel, Recognizer, export_model, read_model_file
