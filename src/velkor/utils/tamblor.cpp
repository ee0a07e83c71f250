// Learning-rate schedules: the scheduler factory (plateau reduction, cosine annealing, cosine with
// warm restarts, optional linear warm-up chained in front), the epoch-to-step conversion and a
// preview plot that runs a scheduler forward on the live objects and puts them back afterwards.
//
// Step counts are counts of optimizer updates: the trainers step the scheduler once per update,
// that is once every `gradient_accumulation_steps` batches plus once for a partial final group,
// so an epoch of n batches makes ceil(n / gradient_accumulation_steps) updates.
#include <pybind11/numpy.h>
#include <vk/common.hpp>

#include <algorithm>
#include <array>
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

}  // namespace

PYBIND11_MODULE(tamblor, m) {
    m.doc() = "Learning-rate scheduler factory with optional warm-up, and a preview plot of the schedule.";
    vk::define_functions<kCreateScheduler, kCreateWarmupScheduler, kEpochsToSteps, kPlotLrSchedule>(m);
}
