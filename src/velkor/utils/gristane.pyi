from typing import Any

import torch

def gristane(model: torch.nn.Module, opt_config: dict[str, Any]) -> torch.optim.Optimizer:
    """Builds torch.optim.SGD, Adam or AdamW for `model` from `opt_config`, with per-parameter learning
    rates from named pattern groups, model-wide layer-wise decay by name depth, or one group,
    and prints a report of the decisions."""
