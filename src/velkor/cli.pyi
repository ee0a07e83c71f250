"""The `velkor` command line: prepare data, train, evaluate, and the end-to-end demo.

velkor prepare synth|audio|text ...
velkor train CONFIG.yaml [--resume]
velkor evaluate CONFIG.yaml [--lm LM_CONFIG.yaml --lm-weight W]
velkor demo
"""

import os
from collections.abc import Sequence
from typing import Any

class ConfigError(ValueError):
    """A configuration file with a missing or malformed key; the message names the file and the key."""

def main(argv: Sequence[str] | None = None) -> int:
    """Runs the `velkor` command with argv (default: sys.argv[1:]) and returns its exit status: 0 on success,
    2 for a configuration error, 1 for a missing file or optional package."""

def load_config(path: str | os.PathLike[str]) -> dict[str, Any]:
    """Reads and checks a YAML configuration, filling in defaults. Raises ConfigError naming the key and
    the file for a missing or malformed key."""
