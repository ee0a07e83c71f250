// Learning-rate schedules: the scheduler factory (plateau reduction, cosine annealing, cosine with
// warm restarts, optional linear warm-up chained in front), the epoch-to-step conversion and a
// preview plot that runs a scheduler forward on the live objects and puts them back afterwards.
//
// Training held to a time budget: TimeBudget plans the number of optimizer updates that fit in
// the time left from the measured pace (and the measured cost of an epoch's validation and
// checkpoints), and BudgetSchedule (warm-up, then cosine to a floor) follows that plan, re-planned
// after every update without a jump in the learning rate, so a run ends annealed at its budget.
//
// Step counts are counts of optimizer updates: the trainers step the scheduler once per update,
// that is once every `gradient_accumulation_steps` batches plus once for a partial final group,
// so an epoch of n batches makes ceil(n / gradient_accumulation_steps) updates.
#include <pybind11/numpy.h>
#include <vk/common.hpp>
#include <vkdomain/distributed.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace py = pybind11;
using vk::kBranch;
using vk::kLast;
using vk::kPipe;
using vk::kw;

long long batch_count(py::handle train_loader) {
    const Py_ssize_t n = PyObject_Length(train_loader.ptr());
    if (n < 0) throw py::error_already_set();
    return n;
}

// Optimizer updates made per epoch of `batches` batches.
long long updates_per_epoch(long long batches, long long accumulation) {
    if (accumulation == 0) {
        PyErr_SetString(PyExc_ZeroDivisionError, "integer division or modulo by zero");
        throw py::error_already_set();
    }
    if (accumulation < 0)
        throw py::value_error("gradient_accumulation_steps must be a positive integer, got " + std::to_string(accumulation));
    return (batches + accumulation - 1) / accumulation;
}

py::object multiply(py::handle a, py::handle b) {
    PyObject* r = PyNumber_Multiply(a.ptr(), b.ptr());
    if (r == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

// epochs * per_epoch with Python's unbounded integers: a product beyond 64 bits must not wrap.
py::object steps_in(long long epochs, long long per_epoch) {
    return vk::detail::steal_or_throw(PyNumber_Multiply(py::int_(epochs).ptr(), py::int_(per_epoch).ptr()));
}

// The same product where a step count drives a native loop: it has to fit in 64 bits.
long long native_steps(long long epochs, long long per_epoch, const char* what) {
    long long steps = 0;
    if (__builtin_mul_overflow(epochs, per_epoch, &steps))
        throw py::value_error(std::string(what) + " is out of range: " + std::to_string(epochs) + " epochs of " +
                              std::to_string(per_epoch) + " steps");
    return steps;
}

using EpochsToStepsArgs = vk::Args<"epochs, train_loader, gradient_accumulation_steps=1">;
py::object epochs_to_steps(py::handle, const EpochsToStepsArgs& a) {
    const long long epochs = a.integer<"epochs">();
    const long long accumulation = a.integer<"gradient_accumulation_steps">();
    return steps_in(epochs, updates_per_epoch(batch_count(a.get<"train_loader">()), accumulation));
}

// LinearLR over `warmup_steps` updates, then the main schedule, switched at that milestone.
py::object chain_warmup(py::handle optimizer, py::handle base_scheduler, py::handle warmup_config, py::handle warmup_steps) {
    const py::object start_factor = vk::get<"start_factor">(warmup_config, py::float_(0.1));
    const py::object end_factor = vk::get<"end_factor">(warmup_config, py::float_(1.0));
    const py::object warmup_scheduler =
        vk::call(vk::imported<"torch.optim.lr_scheduler", "LinearLR">(), optimizer, kw<"start_factor">(start_factor),
                 kw<"end_factor">(end_factor), kw<"total_iters">(warmup_steps));
    py::list milestones;
    milestones.append(warmup_steps);
    py::list schedulers;
    schedulers.append(warmup_scheduler);
    schedulers.append(base_scheduler);
    return vk::call(vk::imported<"torch.optim.lr_scheduler", "SequentialLR">(), optimizer, kw<"schedulers">(schedulers),
                    kw<"milestones">(milestones));
}

// Called on its own it has no accumulation factor, so one step is one batch.
using WarmupArgs = vk::Args<"optimizer, base_scheduler, warmup_config, train_loader">;
py::object create_warmup_scheduler(py::handle, const WarmupArgs& a) {
    const py::dict warmup_config = a.dict<"warmup_config">();
    const py::object warmup_epochs = vk::get<"epochs">(warmup_config, py::int_(5));
    const py::object warmup_steps = multiply(py::int_(batch_count(a.get<"train_loader">())), warmup_epochs);
    return chain_warmup(a.get<"optimizer">(), a.get<"base_scheduler">(), warmup_config, warmup_steps);
}

py::object reduce_on_plateau(py::handle optimizer, py::handle config) {
    const py::object section = vk::item<"reduce_lr">(config);
    const py::object mode = vk::get<"mode">(section, py::str("min"));
    const py::object factor = vk::get<"factor">(section, py::float_(0.1));
    const py::object patience = vk::get<"patience">(section, py::int_(10));
    const py::object threshold = vk::get<"threshold">(section, py::float_(1e-4));
    const py::object threshold_mode = vk::get<"threshold_mode">(section, py::str("rel"));
    const py::object cooldown = vk::get<"cooldown">(section, py::int_(0));
    const py::object min_lr = vk::get<"min_lr">(section, py::float_(1e-5));
    const py::object eps = vk::get<"eps">(section, py::float_(1e-8));
    vk::println(kBranch, "ReduceLROnPlateau Settings:");
    vk::println(kPipe, kBranch, "Mode: ", mode);
    vk::println(kPipe, kBranch, "Factor: ", factor);
    vk::println(kPipe, kBranch, "Patience: ", patience, " epochs");
    vk::println(kPipe, kBranch, "Threshold: ", threshold);
    vk::println(kPipe, kBranch, "Threshold Mode: ", threshold_mode);
    vk::println(kPipe, kBranch, "Cooldown: ", cooldown, " epochs");
    vk::println(kPipe, kLast, "Min LR: ", min_lr);
    // Patience and cooldown count epochs: the trainers step this scheduler once per epoch.
    return vk::call(vk::imported<"torch.optim.lr_scheduler", "ReduceLROnPlateau">(), optimizer, kw<"mode">(mode), kw<"factor">(factor),
                    kw<"patience">(patience), kw<"threshold">(threshold), kw<"threshold_mode">(threshold_mode), kw<"cooldown">(cooldown),
                    kw<"min_lr">(min_lr), kw<"eps">(eps));
}

py::object cosine(py::handle optimizer, py::handle config, long long steps_per_epoch) {
    const py::object section = vk::item<"cosine">(config);
    const py::object t_max = vk::get<"T_max">(section, py::int_(60));
    const py::object t_max_steps = steps_in(vk::exact_int(t_max, "epochs"), steps_per_epoch);
    const py::object eta_min = vk::get<"eta_min">(section, py::float_(1e-4));
    vk::println(kBranch, "Cosine Annealing Settings:");
    vk::println(kPipe, kBranch, "T_max: ", t_max, " epochs (", t_max_steps, " steps)");
    vk::println(kPipe, kLast, "Min LR: ", eta_min);
    return vk::call(vk::imported<"torch.optim.lr_scheduler", "CosineAnnealingLR">(), optimizer, kw<"T_max">(t_max_steps),
                    kw<"eta_min">(eta_min), kw<"last_epoch">(vk::get<"last_epoch">(section, py::int_(-1))));
}

py::object cosine_warm(py::handle optimizer, py::handle config, long long steps_per_epoch) {
    const py::object section = vk::item<"cosine_warm">(config);
    const py::object t_0 = vk::get<"T_0">(section, py::int_(10));
    const py::object t_0_steps = steps_in(vk::exact_int(t_0, "epochs"), steps_per_epoch);
    const py::object t_mult = vk::get<"T_mult">(section, py::int_(2));
    const py::object eta_min = vk::get<"eta_min">(section, py::float_(1e-4));
    vk::println(kBranch, "Cosine Annealing Warm Restarts Settings:");
    vk::println(kPipe, kBranch, "T_0: ", t_0, " epochs (", t_0_steps, " steps)");
    vk::println(kPipe, kBranch, "T_mult: ", t_mult);
    vk::println(kPipe, kLast, "Min LR: ", eta_min);
    return vk::call(vk::imported<"torch.optim.lr_scheduler", "CosineAnnealingWarmRestarts">(), optimizer, kw<"T_0">(t_0_steps),
                    kw<"T_mult">(t_mult), kw<"eta_min">(eta_min), kw<"last_epoch">(vk::get<"last_epoch">(section, py::int_(-1))));
}

using CreateSchedulerArgs = vk::Args<"optimizer, scheduler_config, train_loader, gradient_accumulation_steps=1">;
py::object create_scheduler(py::handle, const CreateSchedulerArgs& a) {
    const py::handle optimizer = a.get<"optimizer">();
    const py::dict config = a.dict<"scheduler_config">();
    const py::handle train_loader = a.get<"train_loader">();
    const long long accumulation = a.integer<"gradient_accumulation_steps">();

    const py::object name_obj = vk::call_method<"lower">(vk::item<"name">(config));
    const std::string name = vk::utf8(name_obj);
    const long long steps_per_epoch = updates_per_epoch(batch_count(train_loader), accumulation);
    vk::println("\n📈 Configuring Learning Rate Scheduler:");
    vk::println(kBranch, "Type: ", vk::call_method<"upper">(name_obj));

    const py::object warmup_config = vk::get<"warmup">(config, py::dict());
    const bool warmup = vk::truthy(vk::get<"enabled">(warmup_config, py::bool_(false)));
    if (name == "reduce_lr" && warmup)
        throw py::value_error(
            "ReduceLROnPlateau scheduler cannot be combined with warmup. Please either disable warmup or use a different "
            "scheduler (cosine, cosine_warm).");

    py::object base_scheduler;
    if (name == "reduce_lr") {
        base_scheduler = reduce_on_plateau(optimizer, config);
    } else if (name == "cosine") {
        base_scheduler = cosine(optimizer, config, steps_per_epoch);
    } else if (name == "cosine_warm") {
        base_scheduler = cosine_warm(optimizer, config, steps_per_epoch);
    } else {
        throw py::value_error("Unsupported scheduler: " + name + ". Supported: ['reduce_lr', 'cosine', 'cosine_warm']");
    }

    if (!warmup) {
        vk::println(kLast, "Warmup: Disabled");
        return base_scheduler;
    }
    const py::object warmup_epochs = vk::get<"epochs">(warmup_config, py::int_(5));
    const py::object warmup_steps = multiply(warmup_epochs, py::int_(steps_per_epoch));
    vk::println(kBranch, "Warmup Settings:");
    vk::println(kPipe, kBranch, "Duration: ", warmup_epochs, " epochs (", warmup_steps, " steps)");
    vk::println(kPipe, kBranch, "Start Factor: ", vk::get<"start_factor">(warmup_config, py::float_(0.1)));
    vk::println(kPipe, kLast, "End Factor: ", vk::get<"end_factor">(warmup_config, py::float_(1.0)));
    // The same chain create_warmup_scheduler builds, measured in updates rather than batches.
    return chain_warmup(optimizer, base_scheduler, warmup_config, warmup_steps);
}

// ---------------------------------------------------------------------------------------------
// Schedule preview.

py::object deepcopy(py::handle obj) { return vk::call(vk::imported<"copy", "deepcopy">(), obj); }

// Saves what stepping changes and puts it back: the optimizer's state_dict(), and either the
// scheduler's state_dict() or, for a plateau scheduler, its attributes other than the optimizer
// it drives (written back one by one, so it keeps driving the same optimizer object).
class SavedState {
public:
    SavedState(py::handle scheduler, py::handle optimizer, bool plateau)
        : scheduler_(py::reinterpret_borrow<py::object>(scheduler)),
          optimizer_(py::reinterpret_borrow<py::object>(optimizer)),
          plateau_(plateau),
          optimizer_state_(deepcopy(vk::call_method<"state_dict">(optimizer))) {
        if (plateau_) {
            py::dict attributes;
            for (const auto [key, value] : py::reinterpret_borrow<py::dict>(vk::attr<"__dict__">(scheduler)))
                if (!py::reinterpret_borrow<py::str>(key).equal(vk::name<"optimizer">())) attributes[key] = value;
            scheduler_state_ = deepcopy(attributes);
        } else {
            scheduler_state_ = deepcopy(vk::call_method<"state_dict">(scheduler));
        }
    }

    void restore() const {
        vk::call_method<"load_state_dict">(optimizer_, optimizer_state_);
        if (plateau_) {
            for (const auto [key, value] : py::reinterpret_borrow<py::dict>(scheduler_state_))
                if (PyObject_SetAttr(scheduler_.ptr(), key.ptr(), value.ptr()) != 0) throw py::error_already_set();
        } else {
            vk::call_method<"load_state_dict">(scheduler_, scheduler_state_);
        }
    }

private:
    py::object scheduler_;
    py::object optimizer_;
    bool plateau_;
    py::object optimizer_state_;
    py::object scheduler_state_;
};

// Takes the gradients off every parameter of the optimizer for the length of the preview, so
// the simulated optimizer steps cannot move the model; puts them back however the preview ends.
class StashedGradients {
public:
    explicit StashedGradients(py::handle param_groups) {
        for (const py::handle group : param_groups) {
            for (const py::handle param : vk::item<"params">(group)) {
                py::object grad = vk::attr<"grad">(param);
                if (grad.is_none()) continue;
                vk::set_attr<"grad">(param, py::none());
                held_.emplace_back(py::reinterpret_borrow<py::object>(param), std::move(grad));
            }
        }
    }

    StashedGradients(const StashedGradients&) = delete;
    StashedGradients& operator=(const StashedGradients&) = delete;

    ~StashedGradients() {
        // A destructor must not throw: a failure here keeps any Python error already in flight.
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        for (const auto& [param, grad] : held_)
            if (PyObject_SetAttr(param.ptr(), vk::name<"grad">().ptr(), grad.ptr()) != 0) PyErr_Clear();
        PyErr_Restore(type, value, traceback);
    }

private:
    std::vector<std::pair<py::object, py::object>> held_;
};

struct Curves {
    std::vector<std::vector<double>> lrs;
    py::object x;
};

double current_lr(py::handle group) {
    // float() also reads a tensor learning rate, whose object torch updates in place.
    const double v = PyFloat_AsDouble(vk::item<"lr">(group).ptr());
    if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return v;
}

py::object linspace(long long num_epochs, long long points) { return vk::call(vk::imported<"numpy", "linspace">(), 0, num_epochs, points); }

// Every other scheduler: record, then one optimizer step and one scheduler step per update.
Curves simulate_steps(py::handle scheduler, py::handle optimizer, const std::vector<py::object>& groups, long long num_epochs,
                      long long total_steps) {
    Curves c{std::vector<std::vector<double>>(groups.size()), py::none()};
    // Reserved up to a bound: the count comes from the caller, the memory only as steps are made.
    for (auto& lrs : c.lrs) lrs.reserve(static_cast<std::size_t>(std::clamp(total_steps, 0LL, 1LL << 20)));
    const py::object optimizer_step = vk::attr<"step">(optimizer);
    const py::object scheduler_step = vk::attr<"step">(scheduler);
    for (long long s = 0; s < total_steps; ++s) {
        for (std::size_t g = 0; g < groups.size(); ++g) c.lrs[g].push_back(current_lr(groups[g]));
        vk::call(optimizer_step);
        vk::call(scheduler_step);
    }
    c.x = linspace(num_epochs, total_steps);
    return c;
}

// Plateau: a flat stretch per epoch, then one step with a synthetic metric that is 1.0 every
// (patience + 1) epochs and 0.0 otherwise.
Curves simulate_plateau(py::handle scheduler, const std::vector<py::object>& groups, long long num_epochs, long long batches) {
    native_steps(num_epochs, batches, "The number of steps to plot");
    Curves c{std::vector<std::vector<double>>(groups.size()), py::none()};
    const py::object period = vk::add(vk::attr<"patience">(scheduler), py::int_(1));
    const py::object scheduler_step = vk::attr<"step">(scheduler);
    const py::int_ zero(0);
    for (long long e = 0; e < num_epochs; ++e) {
        for (std::size_t g = 0; g < groups.size(); ++g) c.lrs[g].insert(c.lrs[g].end(), batches, current_lr(groups[g]));
        PyObject* rem = PyNumber_Remainder(py::int_(e).ptr(), period.ptr());
        if (rem == nullptr) throw py::error_already_set();
        const bool bad = py::reinterpret_steal<py::object>(rem).equal(zero);
        vk::call(scheduler_step, bad ? 1.0 : 0.0);
    }
    c.x = linspace(num_epochs, native_steps(num_epochs, batches, "The number of steps to plot"));
    return c;
}

constexpr std::array<const char*, 5> kColors{"#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd"};
constexpr std::array<const char*, 5> kStyles{"-", "--", "-.", ":", "-"};

void draw(const Curves& c, py::handle save_path) {
    const py::handle plt = vk::imported<"matplotlib.pyplot">();
    vk::call_method<"figure">(plt, kw<"figsize">(py::make_tuple(12, 4)));
    for (std::size_t g = 0; g < c.lrs.size(); ++g) {
        const py::array_t<double> y(static_cast<py::ssize_t>(c.lrs[g].size()), c.lrs[g].data());
        vk::call_method<"plot">(plt, c.x, y, kw<"label">(vk::text("Group ", g)), kw<"color">(kColors[g % 5]),
                                kw<"linestyle">(kStyles[g % 5]), kw<"linewidth">(2));
    }
    vk::call_method<"xlabel">(plt, "Epoch", kw<"fontsize">(12));
    vk::call_method<"ylabel">(plt, "Learning Rate", kw<"fontsize">(12));
    vk::call_method<"title">(plt, "Learning Rate Schedule", kw<"fontsize">(14), kw<"pad">(20));
    vk::call_method<"grid">(plt, true, kw<"alpha">(0.3));
    vk::call_method<"legend">(plt, kw<"bbox_to_anchor">(py::make_tuple(1.05, 1)), kw<"loc">("upper left"));
    vk::call_method<"yscale">(plt, "log");
    const py::object steps_axis = vk::call_method<"twiny">(vk::call_method<"gca">(plt));
    vk::call_method<"set_xlim">(steps_axis, 0, py::len(c.x));
    vk::call_method<"set_xlabel">(steps_axis, "Steps", kw<"fontsize">(12));
    vk::call_method<"tight_layout">(plt);
    // Saved before show(): an interactive backend may close the figure when its window closes.
    // The tight box keeps the legend, which sits outside the axes, in the picture.
    if (!save_path.is_none()) vk::call_method<"savefig">(plt, save_path, kw<"bbox_inches">("tight"));
    vk::call_method<"show">(plt);
}

using PlotArgs = vk::Args<"scheduler, num_epochs, train_loader, gradient_accumulation_steps=1, max_groups=5, *, save_path=None">;
py::object plot_lr_schedule(py::handle, const PlotArgs& a) {
    const py::handle scheduler = a.get<"scheduler">();
    const long long num_epochs = a.integer<"num_epochs">();
    const py::handle train_loader = a.get<"train_loader">();
    const long long accumulation = a.integer<"gradient_accumulation_steps">();
    const long long max_groups = a.integer<"max_groups">();

    const py::object optimizer = vk::attr<"optimizer">(scheduler);
    const bool plateau = py::isinstance(scheduler, vk::imported<"torch.optim.lr_scheduler", "ReduceLROnPlateau">());
    const SavedState saved(scheduler, optimizer, plateau);

    const py::object param_groups = vk::attr<"param_groups">(optimizer);
    const long long num_groups = static_cast<long long>(py::len(param_groups));
    const long long groups_to_plot = std::max(0LL, std::min(max_groups, num_groups));
    if (num_groups > max_groups) vk::println("Warning: Only showing ", max_groups, " out of ", num_groups, " parameter groups for clarity");
    std::vector<py::object> groups;
    for (long long g = 0; g < groups_to_plot; ++g) groups.push_back(param_groups[py::int_(g)]);

    Curves curves;
    {
        const StashedGradients stashed(param_groups);
        try {
            curves = plateau ? simulate_plateau(scheduler, groups, num_epochs, batch_count(train_loader))
                             : simulate_steps(scheduler, optimizer, groups, num_epochs,
                                              native_steps(num_epochs, updates_per_epoch(batch_count(train_loader), accumulation),
                                                           "The number of steps to plot"));
        } catch (py::error_already_set&) {
            // Leave the scheduler and optimizer as they were, then report the original error.
            try {
                saved.restore();
            } catch (py::error_already_set&) {
            }
            throw;
        }
    }
    saved.restore();
    draw(curves, a.get<"save_path">());
    return py::none();
}

// ---------------------------------------------------------------------------------------------
// Time budgets.

// Where a budget schedule stands. A group's rate is floor + (base - floor) * level: warm-up raises
// the level linearly from `level` at `anchor` to 1 at `warmup`; the decay runs the phase of a half
// cosine on from the level it starts at to 0 at `total`. A re-plan moves the anchor to the current
// step and level, so the rate never jumps, and re-planning to the same total changes nothing.
struct Plan {
    long long total = 1, warmup = 0, anchor = 0;
    double level = 1.0;  // at `anchor`
};

double level_at(const Plan& p, long long t) {
    if (t >= p.total) return 0.0;
    if (t < p.warmup && p.warmup > p.anchor) {
        const double done = static_cast<double>(std::max(t - p.anchor, 0LL)) / static_cast<double>(p.warmup - p.anchor);
        return std::clamp(p.level + (1.0 - p.level) * done, 0.0, 1.0);
    }
    const long long start = std::max(p.anchor, p.warmup);
    const double from = p.anchor >= p.warmup ? p.level : 1.0;
    const double phase0 = std::acos(std::clamp(2.0 * from - 1.0, -1.0, 1.0)) / M_PI;
    const double progress = static_cast<double>(std::max(t - start, 0LL)) / static_cast<double>(std::max(p.total - start, 1LL));
    return std::clamp(0.5 * (1.0 + std::cos(M_PI * (phase0 + (1.0 - phase0) * progress))), 0.0, 1.0);
}

Plan plan_of(py::handle self) {
    return {vk::as_index(vk::attr<"total_steps">(self)), vk::as_index(vk::attr<"warmup_steps">(self)),
            vk::as_index(vk::attr<"anchor_step">(self)), vk::to_float(vk::attr<"anchor_level">(self))};
}

void store_plan(py::handle self, const Plan& p) {
    vk::set_attr<"total_steps">(self, py::int_(p.total));
    vk::set_attr<"warmup_steps">(self, py::int_(p.warmup));
    vk::set_attr<"anchor_step">(self, py::int_(p.anchor));
    vk::set_attr<"anchor_level">(self, py::float_(p.level));
}

long long warmup_for(double fraction, long long total) { return std::llround(fraction * static_cast<double>(total)); }

// Each group's rate at `level`; a floor above a group's base rate is that base rate.
py::list rates_at(py::handle self, double level) {
    const double eta_min = vk::to_float(vk::attr<"eta_min">(self));
    py::list out;
    for (const py::handle base : vk::attr<"base_lrs">(self)) {
        const double b = vk::to_float(base), floor = std::min(eta_min, b);
        out.append(py::float_(floor + (b - floor) * level));
    }
    return out;
}

using BudgetScheduleArgs = vk::Args<"optimizer, total_steps, warmup_fraction=0.0, start_factor=0.1, eta_min=0.0, last_epoch=-1">;
py::object budget_schedule_init(py::handle self, const BudgetScheduleArgs& a) {
    const long long total = a.integer<"total_steps">();
    const double fraction = a.real<"warmup_fraction">(), start = a.real<"start_factor">(), eta_min = a.real<"eta_min">();
    if (total < 1) throw py::value_error("total_steps must be a positive integer, got " + std::to_string(total));
    if (!(fraction >= 0.0 && fraction < 1.0))
        throw py::value_error("warmup_fraction must be in [0, 1), got " + vk::fixed_text(fraction, 6));
    if (!(start > 0.0 && start <= 1.0)) throw py::value_error("start_factor must be in (0, 1], got " + vk::fixed_text(start, 6));
    if (!(eta_min >= 0.0) || !std::isfinite(eta_min)) throw py::value_error("eta_min must be a non-negative number");
    vk::set_attr<"warmup_fraction">(self, py::float_(fraction));
    vk::set_attr<"start_factor">(self, py::float_(start));
    vk::set_attr<"eta_min">(self, py::float_(eta_min));
    const long long warmup = warmup_for(fraction, total);
    store_plan(self, Plan{total, warmup, 0, warmup > 0 ? start : 1.0});
    vk::call(vk::attr<"__init__">(vk::imported<"torch.optim.lr_scheduler", "LRScheduler">()), self, a.get<"optimizer">(),
             a.get<"last_epoch">());
    return py::none();
}

py::object budget_schedule_get_lr(py::handle self, const vk::Args<"">&) {
    return rates_at(self, level_at(plan_of(self), vk::as_index(vk::attr<"last_epoch">(self))));
}

py::object budget_schedule_replan(py::handle self, const vk::Args<"total_steps">& a) {
    const long long total = a.integer<"total_steps">();
    if (total < 0) throw py::value_error("total_steps must be a non-negative integer, got " + std::to_string(total));
    const long long now = vk::as_index(vk::attr<"last_epoch">(self));
    const Plan old = plan_of(self);
    if (total <= now) {
        // Out of time: the rates go to their floor at once, so the run ends annealed.
        store_plan(self, Plan{now, std::min(old.warmup, now), now, 0.0});
        const py::list rates = rates_at(self, 0.0);
        const py::list groups = vk::attr<"param_groups">(vk::attr<"optimizer">(self));
        for (std::size_t i = 0; i < groups.size() && i < rates.size(); ++i) {
            py::object group = groups[i];
            group[py::str("lr")] = rates[i];
        }
        vk::set_attr<"_last_lr">(self, rates);
        return py::none();
    }
    const bool warming = now < old.warmup;
    const long long warmup = warming ? std::max(now, warmup_for(vk::to_float(vk::attr<"warmup_fraction">(self)), total)) : old.warmup;
    store_plan(self, Plan{total, warmup, now, level_at(old, now)});
    return py::none();
}

py::object budget_schedule_load(py::handle self, const vk::Args<"state_dict">& a) {
    const py::dict state = a.dict<"state_dict">();
    for (const char* key : {"total_steps", "warmup_steps", "anchor_step", "anchor_level", "last_epoch", "base_lrs"})
        if (!state.contains(key))
            throw py::value_error(std::string("not the state of a BudgetSchedule: it has no '") + key + "' (a schedule of another kind?)");
    vk::call(vk::attr<"load_state_dict">(vk::imported<"torch.optim.lr_scheduler", "LRScheduler">()), self, state);
    return py::none();
}

// TimeBudget: the plan of optimizer updates that fit in what is left of a time budget.

constexpr std::size_t kPaceWindow = 16;  // updates whose mean duration is the pace

double clock_now(py::handle self) { return vk::to_float(vk::call(vk::attr<"_clock">(self))); }

double spent_at(py::handle self, double now) {
    return vk::to_float(vk::attr<"_spent_before">(self)) + now - vk::to_float(vk::attr<"_started">(self));
}

// The most updates n that fit in `left` seconds at `pace` seconds each when every epoch end (after
// `done` of this epoch's `per_epoch` updates; 0 or less: unknown) costs `overhead` seconds of
// validation and checkpoints; at most `cap`. With k epoch ends n <= k*per_epoch - done and
// n <= (left - k*overhead) / pace; the best k is where the two bounds cross.
long long updates_that_fit(double left, double pace, double overhead, long long per_epoch, long long done, double cap) {
    constexpr double kMost = 1e15;
    pace = std::max(pace, 1e-9);
    overhead = std::max(overhead, 0.0);
    const auto by_time = [&](double ends) { return std::floor((left - ends * overhead) / pace); };
    double n = 0;
    if (per_epoch <= 0) {
        n = by_time(1);
    } else {
        const double e = static_cast<double>(per_epoch), d = static_cast<double>(done);
        const double crossing = std::clamp((left / pace + d) / (e + overhead / pace), 1.0, kMost);
        for (const double k : {1.0, std::floor(crossing), std::floor(crossing) + 1.0}) n = std::max(n, std::min(k * e - d, by_time(k)));
    }
    return static_cast<long long>(std::clamp(std::min(n, cap), 0.0, kMost));
}

// Re-plans from what was measured: the planned total goes to the scheduler's replan, when it has
// one. Under a process group every process takes the mean of the plans, so all stop together.
// Before an epoch end was measured, its cost is guessed: a training update per validation batch,
// and at least 5% of the time left.
void replan(py::handle self, py::handle scheduler, double at_least = 0.0) {
    const py::object pace_obj = vk::attr<"pace">(self);
    if (pace_obj.is_none()) return;
    const double pace = vk::to_float(pace_obj);
    const double left = vk::to_float(vk::attr<"seconds">(self)) - spent_at(self, clock_now(self));
    const py::object measured = vk::attr<"overhead">(self);
    const long long validation = vk::as_index(vk::attr<"_validation_batches">(self));
    const double guess = std::max(pace * static_cast<double>(std::max(validation, 1LL)), 0.05 * left);
    const double overhead = std::max(measured.is_none() ? guess : vk::to_float(measured), at_least);
    const long long per_epoch = vk::as_index(vk::attr<"_per_epoch">(self));
    const long long done = vk::as_index(vk::attr<"_in_epoch">(self));
    const long long epochs_left = vk::as_index(vk::attr<"_epochs_left">(self));
    const double cap = epochs_left >= 0 && per_epoch > 0
                           ? static_cast<double>(epochs_left) * static_cast<double>(per_epoch) - static_cast<double>(done)
                           : std::numeric_limits<double>::infinity();
    const long long steps = vk::as_index(vk::attr<"steps">(self));
    long long planned = steps + updates_that_fit(left, pace, overhead, per_epoch, done, cap);
    const vkdomain::World w = vkdomain::world();
    if (w.group)
        planned =
            static_cast<long long>(std::floor(vkdomain::sum_over_ranks({static_cast<double>(planned)})[0] / static_cast<double>(w.size)));
    vk::set_attr<"planned_steps">(self, py::int_(planned));
    if (!scheduler.is_none() && vk::has_attr<"replan">(scheduler)) vk::call_method<"replan">(scheduler, py::int_(planned));
}

// Whether the plan is done; once it is, it stays done.
bool plan_done(py::handle self) {
    if (vk::truthy(vk::attr<"finished">(self))) return true;
    const py::object planned = vk::attr<"planned_steps">(self);
    if (planned.is_none() || vk::as_index(vk::attr<"steps">(self)) < vk::as_index(planned)) return false;
    vk::set_attr<"finished">(self, py::bool_(true));
    return true;
}

using TimeBudgetArgs = vk::Args<"seconds, *, clock=None">;
py::object time_budget_init(py::handle self, const TimeBudgetArgs& a) {
    const double seconds = a.real<"seconds">();
    if (!(seconds > 0.0) || !std::isfinite(seconds))
        throw py::value_error("seconds must be a positive number, got " + vk::fixed_text(seconds, 3));
    vk::set_attr<"seconds">(self, py::float_(seconds));
    vk::set_attr<"steps">(self, py::int_(0));
    vk::set_attr<"planned_steps">(self, py::none());
    vk::set_attr<"pace">(self, py::none());
    vk::set_attr<"overhead">(self, py::none());
    vk::set_attr<"finished">(self, py::bool_(false));
    vk::set_attr<"_clock">(self, a.is_none<"clock">() ? py::reinterpret_borrow<py::object>(vk::imported<"time", "monotonic">())
                                                      : py::reinterpret_borrow<py::object>(a.get<"clock">()));
    vk::set_attr<"_started">(self, py::float_(clock_now(self)));
    vk::set_attr<"_spent_before">(self, py::float_(0.0));
    vk::set_attr<"_mark">(self, py::none());
    vk::set_attr<"_recent">(self, py::list());
    vk::set_attr<"_per_epoch">(self, py::int_(-1));
    vk::set_attr<"_in_epoch">(self, py::int_(0));
    vk::set_attr<"_epochs_left">(self, py::int_(-1));
    vk::set_attr<"_validation_batches">(self, py::int_(0));
    vk::set_attr<"_ended">(self, py::none());
    vk::set_attr<"_tail">(self, py::none());
    return py::none();
}

py::object time_budget_spent(py::handle self, const vk::Args<"">&) { return py::float_(spent_at(self, clock_now(self))); }

using BeginEpochArgs = vk::Args<"steps_per_epoch, validation_batches=0, epochs_left=None, scheduler=None">;
py::object time_budget_begin_epoch(py::handle self, const BeginEpochArgs& a) {
    const long long per_epoch = a.integer<"steps_per_epoch">();
    const long long validation = a.integer<"validation_batches">();
    const long long epochs_left = a.is_none<"epochs_left">() ? -1 : a.integer<"epochs_left">();
    const double now = clock_now(self);
    // Since the last update: the previous epoch's validation, logging and checkpoints.
    const py::object mark = vk::attr<"_mark">(self), ended = vk::attr<"_ended">(self);
    if (!mark.is_none()) vk::set_attr<"overhead">(self, py::float_(std::max(0.0, now - vk::to_float(mark))));
    if (!ended.is_none()) vk::set_attr<"_tail">(self, py::float_(std::max(0.0, now - vk::to_float(ended))));
    vk::set_attr<"_ended">(self, py::none());
    vk::set_attr<"_per_epoch">(self, py::int_(per_epoch));
    vk::set_attr<"_in_epoch">(self, py::int_(0));
    vk::set_attr<"_epochs_left">(self, py::int_(epochs_left));
    vk::set_attr<"_validation_batches">(self, py::int_(std::max(validation, 0LL)));
    vk::set_attr<"_mark">(self, py::float_(now));
    if (epochs_left == 0) return py::bool_(false);
    if (vk::truthy(vk::attr<"finished">(self))) return py::bool_(false);
    replan(self, a.get<"scheduler">());
    return py::bool_(!plan_done(self));
}

py::object time_budget_step_done(py::handle self, const vk::Args<"scheduler=None">& a) {
    const double now = clock_now(self);
    const py::object mark = vk::attr<"_mark">(self);
    if (!mark.is_none()) {
        py::list recent = vk::attr<"_recent">(self);
        recent.append(py::float_(std::max(0.0, now - vk::to_float(mark))));
        while (recent.size() > kPaceWindow) PySequence_DelItem(recent.ptr(), 0);
        double sum = 0.0;
        for (const py::handle d : recent) sum += vk::to_float(d);
        vk::set_attr<"pace">(self, py::float_(sum / static_cast<double>(recent.size())));
    }
    vk::set_attr<"_mark">(self, py::float_(now));
    vk::set_attr<"steps">(self, vk::add(vk::attr<"steps">(self), py::int_(1)));
    vk::set_attr<"_in_epoch">(self, vk::add(vk::attr<"_in_epoch">(self), py::int_(1)));
    replan(self, a.get<"scheduler">());
    return py::bool_(plan_done(self));
}

// After an epoch's validation, before it is logged and saved: plans the next epochs with what that
// epoch end has cost so far, so that a run whose plan ends here is saved annealed and finished.
py::object time_budget_end_epoch(py::handle self, const vk::Args<"epochs_left=None, scheduler=None">& a) {
    const long long epochs_left = a.is_none<"epochs_left">() ? -1 : a.integer<"epochs_left">();
    const py::object mark = vk::attr<"_mark">(self), tail = vk::attr<"_tail">(self);
    const double now = clock_now(self);
    // What is still to come (logging, plots, checkpoints) as the last epoch's took.
    const double so_far = (mark.is_none() ? 0.0 : std::max(0.0, now - vk::to_float(mark))) + (tail.is_none() ? 0.0 : vk::to_float(tail));
    vk::set_attr<"_ended">(self, py::float_(now));
    vk::set_attr<"_in_epoch">(self, py::int_(0));
    vk::set_attr<"_epochs_left">(self, py::int_(epochs_left));
    if (epochs_left == 0 || vk::truthy(vk::attr<"finished">(self))) return py::bool_(false);
    replan(self, a.get<"scheduler">(), so_far);
    return py::bool_(!plan_done(self));
}

py::object time_budget_state(py::handle self, const vk::Args<"">&) {
    py::dict state;
    state["seconds"] = vk::attr<"seconds">(self);
    state["spent"] = py::float_(spent_at(self, clock_now(self)));
    state["steps"] = vk::attr<"steps">(self);
    state["planned_steps"] = vk::attr<"planned_steps">(self);
    state["pace"] = vk::attr<"pace">(self);
    state["overhead"] = vk::attr<"overhead">(self);
    state["finished"] = vk::attr<"finished">(self);
    return state;
}

// A number of the state, or None where None is allowed.
py::object state_number(const py::dict& state, const char* key, bool integer, bool optional) {
    if (!state.contains(key)) throw py::value_error(std::string("not the state of a TimeBudget: it has no '") + key + "'");
    const py::object v = state[key];
    if (optional && v.is_none()) return v;
    const bool ok = integer ? PyLong_CheckExact(v.ptr()) : (PyFloat_CheckExact(v.ptr()) || PyLong_CheckExact(v.ptr()));
    if (!ok || (!integer && !std::isfinite(vk::to_float(v))) || vk::to_float(v) < 0)
        throw py::value_error(std::string("TimeBudget state '") + key + "' must be a non-negative " + (integer ? "integer" : "number") +
                              ", got " + vk::display_repr(v));
    return integer ? v : py::object(py::float_(vk::to_float(v)));
}

py::object time_budget_load(py::handle self, const vk::Args<"state_dict">& a) {
    const py::dict state = a.dict<"state_dict">();
    const py::object seconds = state_number(state, "seconds", false, false);
    if (!(vk::to_float(seconds) > 0)) throw py::value_error("TimeBudget state 'seconds' must be positive");
    const py::object spent = state_number(state, "spent", false, false), steps = state_number(state, "steps", true, false);
    const py::object planned = state_number(state, "planned_steps", true, true), pace = state_number(state, "pace", false, true);
    const py::object overhead = state_number(state, "overhead", false, true);
    if (!state.contains("finished") || !PyBool_Check(py::object(state["finished"]).ptr()))
        throw py::value_error("TimeBudget state 'finished' must be True or False");
    vk::set_attr<"seconds">(self, seconds);
    vk::set_attr<"steps">(self, steps);
    vk::set_attr<"planned_steps">(self, planned);
    vk::set_attr<"pace">(self, pace);
    vk::set_attr<"overhead">(self, overhead);
    vk::set_attr<"finished">(self, py::object(state["finished"]));
    // What this process spent before the load (building, reading data) counts too.
    vk::set_attr<"_spent_before">(self, spent);
    vk::set_attr<"_mark">(self, py::none());
    vk::set_attr<"_recent">(self, py::list());
    return py::none();
}

constexpr vk::Def kCreateScheduler{"create_scheduler", create_scheduler,
                                   "Builds ReduceLROnPlateau, CosineAnnealingLR or CosineAnnealingWarmRestarts for `optimizer` from\n"
                                   "`scheduler_config`, optionally preceded by a linear warm-up (SequentialLR), and prints a report.\n"
                                   "Durations are given in epochs and converted to optimizer updates: ceil(len(train_loader) /\n"
                                   "gradient_accumulation_steps) per epoch, the number of times the trainers step the scheduler."};
constexpr vk::Def kCreateWarmupScheduler{"create_warmup_scheduler", create_warmup_scheduler,
                                         "Chains a LinearLR warm-up of warmup_config['epochs'] * len(train_loader) steps in front of\n"
                                         "`base_scheduler` with SequentialLR."};
constexpr vk::Def kEpochsToSteps{"_epochs_to_steps", epochs_to_steps,
                                 "Optimizer updates in `epochs` epochs: epochs * ceil(len(train_loader) / "
                                 "gradient_accumulation_steps)."};
constexpr vk::Def kPlotLrSchedule{"plot_lr_schedule", plot_lr_schedule,
                                  "Runs `scheduler` forward over `num_epochs` epochs, restores it and its optimizer, and plots the\n"
                                  "learning rate of up to `max_groups` parameter groups on a log scale; with `save_path` the figure\n"
                                  "is also written to that file. The model's parameters and gradients are left untouched."};

constexpr vk::Def kBudgetScheduleInit{"__init__", budget_schedule_init};
constexpr vk::Def kBudgetScheduleGetLr{"get_lr", budget_schedule_get_lr, "The rate of every parameter group at the current step."};
constexpr vk::Def kBudgetScheduleReplan{
    "replan", budget_schedule_replan,
    "Plans `total_steps` updates in all from the current step on, keeping the current rate: a warm-up not yet over\n"
    "ends at warmup_fraction of the new total, the decay reaches eta_min at the new total. A total at or below the\n"
    "current step puts every rate at its floor now."};
constexpr vk::Def kBudgetScheduleLoad{"load_state_dict", budget_schedule_load,
                                      "Restores a state from state_dict(); the state of another kind of schedule is a ValueError."};
constexpr vk::Def kTimeBudgetInit{"__init__", time_budget_init};
constexpr vk::Def kTimeBudgetSpent{"spent", time_budget_spent, "Seconds of the budget spent so far (earlier runs included)."};
constexpr vk::Def kTimeBudgetBeginEpoch{
    "begin_epoch", time_budget_begin_epoch,
    "Called before each training pass: measures the time since the last update (the previous epoch's validation and\n"
    "checkpoints), re-plans, and returns whether the pass should run (False once the plan is done)."};
constexpr vk::Def kTimeBudgetStepDone{"step_done", time_budget_step_done,
                                      "Called after each optimizer update: measures the pace, re-plans (handing the planned total to\n"
                                      "scheduler.replan) and returns True when the planned updates are done and the pass must stop."};
constexpr vk::Def kTimeBudgetEndEpoch{"end_epoch", time_budget_end_epoch,
                                      "Called after an epoch's validation, before it is saved (`epochs_left`: those after it): re-plans\n"
                                      "with what the epoch end has cost so far and returns whether another epoch fits."};
constexpr vk::Def kTimeBudgetState{"state_dict", time_budget_state,
                                   "seconds, spent, steps, planned_steps, pace, overhead and finished, as plain numbers."};
constexpr vk::Def kTimeBudgetLoad{"load_state_dict", time_budget_load,
                                  "Continues the plan of state_dict(): the time spent then counts as spent."};

}  // namespace

PYBIND11_MODULE(tamblor, m) {
    m.doc() = "Learning-rate scheduler factory with optional warm-up, a preview plot of the schedule, and time-budgeted schedules.";
    vk::define_functions<kCreateScheduler, kCreateWarmupScheduler, kEpochsToSteps, kPlotLrSchedule>(m);
    vk::define_class<kBudgetScheduleInit, kBudgetScheduleGetLr, kBudgetScheduleReplan, kBudgetScheduleLoad>(
        m, "BudgetSchedule", vk::imported<"torch.optim.lr_scheduler", "LRScheduler">(),
        "Linear warm-up over warmup_fraction of total_steps optimizer updates from start_factor, then a half cosine to\n"
        "eta_min at total_steps; replan() changes the total mid-run without a jump in the rate.");
    const py::object budget = vk::define_class<kTimeBudgetInit, kTimeBudgetBeginEpoch, kTimeBudgetStepDone, kTimeBudgetEndEpoch,
                                               kTimeBudgetState, kTimeBudgetLoad>(
        m, "TimeBudget", vk::imported<"builtins", "object">(),
        "A wall-time budget of `seconds` for training, read from `clock` (default time.monotonic). The trainers consult it\n"
        "(trainer.time_budget): it plans the optimizer updates that fit from the measured pace and the measured cost of an\n"
        "epoch's validation and checkpoints, re-plans after every update, and stops the pass when the plan is done.");
    vk::define_properties<kTimeBudgetSpent>(budget);
}
