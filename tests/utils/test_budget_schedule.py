"""BudgetSchedule: warm-up then a half cosine to the floor over a planned number of updates, re-planned
mid-run without a jump in the rate; its state goes through a checkpoint and refuses another schedule's."""

import math

import pytest
import torch
from hypothesis import given, settings
from hypothesis import strategies as st

from velkor.utils.tamblor import BudgetSchedule


def optimizer(lrs=(0.1, 0.001)):
    return torch.optim.SGD([{"params": [torch.nn.Parameter(torch.ones(1))], "lr": lr} for lr in lrs])


def run(schedule, opt, steps, replans=()):
    """Rates before each update and after the last; replans: {step: total} applied after that update."""
    replans = dict(replans)
    rates = [[g["lr"] for g in opt.param_groups]]
    for step in range(1, steps + 1):
        opt.step()
        schedule.step()
        if step in replans:
            before = [g["lr"] for g in opt.param_groups]
            schedule.replan(replans[step])
            if replans[step] > step:  # a re-plan keeps the rate it found
                assert [g["lr"] for g in opt.param_groups] == before
        rates.append([g["lr"] for g in opt.param_groups])
    return rates


def flat(rates):
    return [x for r in rates for x in r]


def test_without_replans_it_is_warmup_then_cosine():
    opt = optimizer((1.0,))
    schedule = BudgetSchedule(opt, 40, warmup_fraction=0.25, start_factor=0.2, eta_min=0.1)
    rates = [r[0] for r in run(schedule, opt, 45)]
    expected = [0.1 + 0.9 * (0.2 + 0.8 * t / 10) for t in range(10)]
    expected += [0.1 + 0.9 * 0.5 * (1 + math.cos(math.pi * (t - 10) / 30)) for t in range(10, 40)] + [0.1] * 6
    assert rates == pytest.approx(expected)


@settings(max_examples=60, deadline=None)
@given(
    total=st.integers(2, 120),
    fraction=st.sampled_from([0.0, 0.1, 0.3]),
    replans=st.lists(st.tuples(st.integers(1, 150), st.integers(1, 160)), max_size=5),
)
def test_replans_keep_the_rate_continuous_and_end_at_the_floor(total, fraction, replans):
    opt = optimizer()
    schedule = BudgetSchedule(opt, total, warmup_fraction=fraction, eta_min=0.01)
    plan = dict(replans)
    final, planned = 160, total
    for t in range(1, 161):  # the first update at the plan in force, or a re-plan to the past
        if t >= planned or plan.get(t, t + 1) <= t:
            final = t
            break
        planned = plan.get(t, planned)
    rates = run(schedule, opt, 160, plan)
    floors = [0.01, 0.001]  # a floor above a group's base rate is that rate
    for r in rates:
        assert all(f - 1e-12 <= x <= base + 1e-12 for x, f, base in zip(r, floors, (0.1, 0.001)))
    # At the planned end every group is at its floor and stays there.
    assert rates[final:] == [pytest.approx(floors)] * (161 - final)
    assert all(rates[t][0] > 0.01 for t in range(final))


def test_replanning_to_the_same_total_changes_nothing_and_the_state_round_trips():
    a, b = optimizer(), optimizer()
    plain = BudgetSchedule(a, 50, warmup_fraction=0.2)
    replanned = BudgetSchedule(b, 50, warmup_fraction=0.2)
    assert flat(run(plain, a, 20)) == pytest.approx(flat(run(replanned, b, 20, {s: 50 for s in range(1, 21)})))
    # A new schedule that loads the state goes on exactly as the original.
    c = optimizer()
    c.load_state_dict(b.state_dict())
    restored = BudgetSchedule(c, 7, warmup_fraction=0.5)
    restored.load_state_dict(replanned.state_dict())
    assert flat(run(restored, c, 40, {25: 70})[1:]) == pytest.approx(flat(run(replanned, b, 40, {25: 70})[1:]))


def test_bad_arguments_and_foreign_states_are_refused():
    opt = optimizer()
    with pytest.raises(ValueError, match="total_steps must be a positive integer"):
        BudgetSchedule(opt, 0)
    with pytest.raises(ValueError, match="warmup_fraction"):
        BudgetSchedule(opt, 10, warmup_fraction=1.0)
    with pytest.raises(TypeError, match="Argument 'total_steps' must be of type int"):
        BudgetSchedule(opt, 10.0)
    schedule = BudgetSchedule(opt, 10)
    cosine = torch.optim.lr_scheduler.CosineAnnealingLR(optimizer(), 10)
    with pytest.raises(ValueError, match="not the state of a BudgetSchedule: it has no 'total_steps'"):
        schedule.load_state_dict(cosine.state_dict())
