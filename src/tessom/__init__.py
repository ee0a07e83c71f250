"""tessom: a small numpy array library."""

from . import nn

__all__ = ["nn"]
