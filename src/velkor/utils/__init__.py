"""Optimization setup: the optimizer factory and the learning-rate scheduler factory.

The function `gristane` takes the package attribute of the same name, so `velkor.utils.gristane`
is the function; the module stays importable by its full name (`from velkor.utils.gristane
import gristane`, `importlib.import_module("velkor.utils.gristane")`).
"""

from .gristane import gristane
from .tamblor import create_scheduler

__all__ = ["gristane", "create_scheduler"]
