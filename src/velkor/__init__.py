"""velkor: attention-based speech recognition and language models on PyTorch.

Subpackages: `velkor.model` (blocks and assembled models), `velkor.data` (tokenizer, datasets),
`velkor.decoding` (sequence generator), `velkor.utils` (optimizer and schedule factories).
"""

__version__ = "0.1.0"
