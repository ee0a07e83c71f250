"""The `velkor` command line: prepare data, train, evaluate, and the end-to-end demo."""

import os
from collections.abc import Sequence
from typing import Any

class ConfigError(ValueError):
    """A configuration file with a missing or malformed key; the message names the file and the key."""

def main(argv: Sequence[str] | None = None) -> int:
    """Runs the `velkor` command with argv (default: sys.argv[1:]) and returns its exit status: 0 when everything asked for happened, 2 for a configuration or option error, 1 when something did not happen, 130 when interrupted."""

def load_config(path: str | os.PathLike[str]) -> dict[str, Any]:
    """Reads and checks a YAML configuration, filling in defaults. Raises ConfigError naming the key and the file for a missing, unknown or malformed key."""

def config_reference() -> str:
    """The configuration reference: a Markdown table of every key, the tasks that read it, what it takes, its default and what it means."""

def default_threads() -> int:
    """CPU threads the commands use by default: half the logical CPUs of this process (pairs of SMT siblings share a core), at
    most those the load average leaves free, at least one."""
