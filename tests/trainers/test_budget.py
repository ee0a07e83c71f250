"""Training held to a time budget, on a fake clock that the model's forward passes advance: the plan ends
annealed (rate at its floor) within 5% of the budget, follows a change of pace, stops inside an epoch
after validating and saving it, and a run resumed from its last checkpoint goes on as if never stopped."""

import pytest
import torch
from conftest import lm_config, lm_model, loader

from velkor.trainers import LMTrainer
from velkor.utils.tamblor import BudgetSchedule, TimeBudget

BUDGET, ETA_MIN, VALIDATION_COST = 60.0, 1e-4, 0.5


class Clock:
    """Seconds that pass only when the model runs: `pace(n)` per training forward (n: forwards so far),
    VALIDATION_COST per evaluation forward. kill_at: the training forward that raises (a killed run)."""

    def __init__(self, pace, kill_at=None):
        self.now, self.pace, self.kill_at, self.forwards = 100.0, pace, kill_at, 0

    def __call__(self):
        return self.now

    def hook(self, module, args, output):
        if module.training:
            if self.forwards == self.kill_at:
                raise RuntimeError("killed")
            self.now += self.pace(self.forwards)
            self.forwards += 1
        else:
            self.now += VALIDATION_COST


def budgeted(tokenizer, config_file, clock, run="run"):
    trainer = LMTrainer(lm_model(tokenizer), tokenizer, lm_config(), run, config_file, device="cpu")
    trainer.model.register_forward_hook(clock.hook)
    trainer.optimizer = torch.optim.AdamW(trainer.model.parameters(), lr=0.01)
    trainer.scheduler = BudgetSchedule(trainer.optimizer, 1000, warmup_fraction=0.1, eta_min=ETA_MIN)
    trainer.time_budget = TimeBudget(BUDGET, clock=clock)
    return trainer


def rates(trainer):
    """The rate before every update, recorded by the optimizer."""
    seen = []
    trainer.optimizer.register_step_pre_hook(lambda opt, args, kwargs: seen.append(opt.param_groups[0]["lr"]))
    return seen


@pytest.mark.parametrize("slower_after", [None, 12])
def test_the_plan_ends_annealed_within_the_budget(tokenizer, config_file, lm_data, slower_after):
    # Twice as slow after `slower_after` updates: a plan kept from the first pace would overrun by far.
    clock = Clock(lambda n: 1.0 if slower_after is None or n < slower_after else 2.0)
    trainer = budgeted(tokenizer, config_file, clock)
    seen = rates(trainer)
    train, val = lm_data
    trainer.train(loader(train, batch_size=2), loader(val, batch_size=2), 1000)

    budget = trainer.time_budget
    per_epoch = len(loader(train, batch_size=2))
    assert abs(budget.spent - BUDGET) <= 0.05 * BUDGET, budget.state_dict()
    assert budget.finished and budget.steps == budget.planned_steps == len(seen) == clock.forwards
    assert trainer.optimizer.param_groups[0]["lr"] == pytest.approx(ETA_MIN) == trainer.training_history[-1]["lr"]
    # Warm-up, then a fall without a jump: no step moves the rate by more than a few times its mean change.
    peak = seen.index(max(seen))
    assert 0 < peak < len(seen) // 4 and all(a >= b for a, b in zip(seen[peak:], seen[peak + 1 :]))
    assert max(abs(a - b) for a, b in zip(seen, seen[1:])) < 4 * 0.01 / peak
    # The last epoch is cut short when the plan ends inside it, and is still validated and saved.
    assert len(trainer.training_history) == trainer.current_epoch == -(-budget.steps // per_epoch)
    if slower_after is not None:
        assert budget.steps < 60 - 12  # fewer updates than at the first pace
    saved = torch.load(trainer.last_model_path, weights_only=True)
    assert saved["epoch"] == trainer.current_epoch - 1 and saved["time_budget"]["finished"]


def test_a_resumed_run_continues_the_plan(tokenizer, config_file, lm_data, capsys):
    train, val = lm_data
    loaders = loader(train, batch_size=2), loader(val, batch_size=2)
    whole = budgeted(tokenizer, config_file, Clock(lambda n: 1.0), run="whole")
    whole_rates = rates(whole)
    whole.train(*loaders, 1000)

    # Killed in the middle of its fourth epoch; the last checkpoint holds three.
    per_epoch = len(loaders[0])
    first = budgeted(tokenizer, config_file, Clock(lambda n: 1.0, kill_at=3 * per_epoch + 2), run="split")
    first_rates = rates(first)
    with pytest.raises(RuntimeError, match="killed"):
        first.train(*loaders, 1000)
    resumed = budgeted(tokenizer, config_file, Clock(lambda n: 1.0), run="split")
    resumed_rates = rates(resumed)
    resumed.load_checkpoint("checkpoint-last-epoch-model.pth")
    assert "time_budget" in capsys.readouterr().out.splitlines()[-1]
    resumed.current_epoch += 1
    resumed.train(*loaders, 1000)

    assert first_rates[: 3 * per_epoch] + resumed_rates == pytest.approx(whole_rates)
    assert [h["lr"] for h in resumed.training_history] == pytest.approx([h["lr"] for h in whole.training_history])
    assert resumed.time_budget.spent == pytest.approx(whole.time_budget.spent)
    assert resumed.time_budget.steps == whole.time_budget.steps


def test_a_spent_budget_trains_no_further(tokenizer, config_file, lm_data):
    train, val = lm_data
    trainer = budgeted(tokenizer, config_file, Clock(lambda n: 1.0))
    trainer.train(loader(train, batch_size=2), loader(val, batch_size=2), 1000)
    epochs, steps = trainer.current_epoch, trainer.time_budget.steps
    trainer.train(loader(train, batch_size=2), loader(val, batch_size=2), 5)
    assert (trainer.current_epoch, trainer.time_budget.steps) == (epochs, steps)
