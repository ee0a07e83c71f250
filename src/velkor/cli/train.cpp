// velkor train: a trained experiment is never overwritten by accident (--resume continues it,
// --overwrite starts it again), a checkpoint that cannot be restored stops the command before
// any training, and the history and learning curve are on disk after every epoch, so an
// interrupted run shows what it did.
//
// Under torchrun every process runs the same command on its share of the data; rank 0 alone
// writes (experiment folder, tokenizer, statistics, checkpoints, history, learning curve) and
// prints the reports, and the others wait where they must not run ahead of a write.
//
// With a time budget (--minutes, training.minutes) the configured schedule is replaced by one that
// plans its updates from the measured pace (velkor.utils.tamblor: TimeBudget, BudgetSchedule), so
// the run ends annealed at the budget; the checkpoints carry the plan, so --resume continues it.
// Every epoch's wall and CPU time go into the history.
#include "cli.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

namespace velkor_cli {
namespace {

constexpr const char* kLast = "checkpoint-last-epoch-model.pth";
constexpr const char* kBest = "checkpoint-best-metric-model.pth";

py::object learning_rate_of(py::handle trainer) {
    const py::list groups = vk::attr<"param_groups">(vk::attr<"optimizer">(trainer));
    return py::dict(groups[0])["lr"];
}

void plot_learning_curve(py::handle trainer, const Config& cfg) {
    const py::list history = vk::attr<"training_history">(trainer);
    std::vector<double> epochs;
    std::vector<std::pair<std::string, std::vector<double>>> losses, rates;
    const auto series = [](auto& list, const std::string& label) -> std::vector<double>& {
        for (auto& [l, v] : list)
            if (l == label) return v;
        list.emplace_back(label, std::vector<double>{});
        return list.back().second;
    };
    for (const py::handle rec : history) {
        const py::dict r = py::reinterpret_borrow<py::dict>(rec);
        if (!r.contains("train")) continue;
        epochs.push_back(py::cast<double>(r["epoch"]));
        for (const char* split : {"train", "val"}) {
            if (!r.contains(split)) continue;
            for (const auto& [k, v] : py::dict(r[split])) {
                const std::string name = py::str(k);
                const std::string label = std::string(split) + " " + name;
                const double x = py::cast<double>(v);
                if (name.find("loss") != std::string::npos) series(losses, label).push_back(x);
                const bool rate = is_speech(cfg) ? name == "cer" || name == "wer" : name == "perplexity_char";
                if (rate) series(rates, label).push_back(x);
            }
        }
    }
    if (epochs.empty()) return;
    const py::object plt = py::module_::import("matplotlib.pyplot");
    const py::tuple fig_axes = vk::call(plt.attr("subplots"), 1, 2, kw<"figsize">(py::make_tuple(11, 4)));
    const py::object fig = fig_axes[0];
    const py::object axes = fig_axes[1];
    const py::object left = axes[py::int_(0)], right = axes[py::int_(1)];
    const py::object x = py::cast(epochs);
    for (const auto& [label, v] : losses)
        if (v.size() == epochs.size()) vk::call(left.attr("plot"), x, py::cast(v), kw<"marker">("o"), kw<"label">(label));
    for (const auto& [label, v] : rates)
        if (v.size() == epochs.size()) vk::call(right.attr("plot"), x, py::cast(v), kw<"marker">("o"), kw<"label">(label));
    vk::call(left.attr("set_title"), "Loss per epoch");
    vk::call(right.attr("set_title"), is_speech(cfg) ? "Validation error rates (%) per epoch" : "Per-character perplexity per epoch");
    for (const py::object& ax : {left, right}) {
        vk::call(ax.attr("set_xlabel"), "epoch");
        vk::call(ax.attr("grid"), true, kw<"alpha">(0.3));
        if (vk::truthy(vk::call_method<"get_lines">(ax))) vk::call(ax.attr("legend"));
    }
    vk::call(fig.attr("tight_layout"));
    const py::object path = join(vk::attr<"attn_dir">(trainer), "learning_curve.png");
    vk::call(fig.attr("savefig"), path, kw<"dpi">(100));
    vk::call(plt.attr("close"), fig);
}

// What the epoch loop has saved so far, seen from the checkpoint hook.
struct Saved {
    long long last_epoch = -1, best_epoch = -1;
    // The best validation metric of the epochs before a resumed run: the trainers judge "best"
    // within one train() call, so the first resumed epoch would replace a better best checkpoint.
    double best_before = std::numeric_limits<double>::infinity();
    // Where the current epoch began: monotonic wall time and the process's CPU time.
    double wall_mark = 0.0, cpu_mark = 0.0;
    long long average_last = 0;  // training.average_last: epoch model states kept
};

double wall_clock() { return vk::to_float(vk::call(vk::imported<"time", "monotonic">())); }
double cpu_clock() { return vk::to_float(vk::call(vk::imported<"time", "process_time">())); }

void start_epoch_clocks(Saved& saved) {
    saved.wall_mark = wall_clock();
    saved.cpu_mark = cpu_clock();
}

// The epoch's wall and CPU time, added to its history record (so to the checkpoint and the
// history file) and printed under its metrics; with a time budget, where the budget stands.
void record_epoch_time(py::handle trainer, Saved& saved) {
    const double wall = wall_clock() - saved.wall_mark, cpu = cpu_clock() - saved.cpu_mark;
    start_epoch_clocks(saved);
    const py::list history = vk::attr<"training_history">(trainer);
    if (history.size() == 0 || !PyDict_Check(py::object(history[history.size() - 1]).ptr())) return;
    py::dict record = history[history.size() - 1];
    py::dict time;
    time["wall_s"] = py::float_(std::round(wall * 1000.0) / 1000.0);
    time["cpu_s"] = py::float_(std::round(cpu * 1000.0) / 1000.0);
    record["time"] = time;
    if (!writes()) return;
    std::string line =
        "⏱  Epoch " + str(record["epoch"]) + ": " + vk::fixed_text(wall, 1) + " s wall, " + vk::fixed_text(cpu, 1) + " s CPU";
    const py::object budget = vk::has_attr<"time_budget">(trainer) ? vk::attr<"time_budget">(trainer) : py::none();
    if (!budget.is_none()) {
        const py::object planned = vk::attr<"planned_steps">(budget);
        line += "; budget " + vk::fixed_text(vk::to_float(vk::attr<"spent">(budget)), 0) + " of " +
                vk::fixed_text(vk::to_float(vk::attr<"seconds">(budget)), 0) + " s spent, " + str(vk::attr<"steps">(budget)) + " of " +
                (planned.is_none() ? std::string("?") : str(planned)) + " planned updates done";
    }
    vk::println(line);
}

// The epoch loop saves the last checkpoint once per finished epoch; the history and the learning
// curve are written right after it. The hook holds the trainer weakly (the trainer holds the hook).
void keep_history_every_epoch(const Config& cfg, py::handle trainer, const std::shared_ptr<Saved>& saved) {
    const py::object save = vk::attr<"save_checkpoint">(vk::call(vk::imported<"builtins", "type">(), trainer));
    const py::object weak = vk::call(vk::imported<"weakref", "ref">(), trainer);
    const py::object hook = py::cpp_function([cfg, save, weak, saved](py::object filename) {
        const py::object self = weak();
        if (self.is_none()) return;
        const std::string name = py::str(filename);
        if (name == kBest && !(py::cast<double>(vk::attr<"best_metric">(self)) < saved->best_before)) {
            vk::set_attr<"best_metric">(self, py::float_(saved->best_before));
            return;
        }
        if (name == kLast) record_epoch_time(self, *saved);
        vk::call(save, self, filename);
        const long long epoch = py::cast<long long>(vk::attr<"current_epoch">(self));
        if (name == kBest) saved->best_epoch = epoch;
        if (name != kLast) return;
        saved->last_epoch = epoch;
        if (!writes()) return;
        save_history(cfg, self);
        if (saved->average_last > 0) keep_epoch_state(cfg, self, saved->average_last);
    });
    vk::set_attr<"save_checkpoint">(trainer, hook);
}

// The run's time budget in seconds: --minutes, else training.minutes; 0 without one.
double budget_seconds(const Config& cfg, py::handle args) {
    const py::object option = vk::attr<"minutes">(args);
    if (!option.is_none()) {
        const double minutes = py::cast<double>(option);
        if (!(minutes > 0.0) || !std::isfinite(minutes) || minutes > 100000.0)
            fail("--minutes must be a positive number of minutes (at most 100000), got " + str(option), 2);
        return minutes * 60.0;
    }
    const py::dict training = section(cfg, "training");
    return training.contains("minutes") ? py::cast<double>(training["minutes"]) * 60.0 : 0.0;
}

bool holds_checkpoints(py::handle root) {
    const py::object dir = join(root, "checkpoints");
    if (!is_dir(dir)) return false;
    for (const py::handle f : py::list(vk::call(vk::imported<"os", "listdir">(), dir)))
        if (vk::truthy(vk::call_method<"endswith">(f, ".pth"))) return true;
    return false;
}

// --overwrite: what an earlier run of this experiment left that the new one would be mixed with.
void clear_experiment(py::handle root) {
    remove_tree(join(root, "checkpoints"));
    remove_tree(join(root, "evaluation"));
    remove_file(join(root, "training_history.json"));
    remove_file(join(join(root, "attn"), "learning_curve.png"));
}

struct Setup {
    Trained t;
    std::shared_ptr<Saved> saved = std::make_shared<Saved>();
};

// `resume_from`: a checkpoint checked against the model before the data is read. `budget`: the
// run's TimeBudget, attached when `budgeted` or when the checkpoint was made under one.
Setup setup(const Config& cfg, py::handle resume_from, py::handle budget = py::none(), bool budgeted = false, long long epochs = 0) {
    seed_everything(cfg);
    Setup s;
    Trained& t = s.t;
    t.tokenizer = build_tokenizer(cfg);
    const py::object model = build_model(cfg, t.tokenizer);  // before the data: its errors come at once
    if (!resume_from.is_none()) {
        const py::dict ckpt = read_checkpoint(resume_from, model);
        const py::object stored = vk::get<"time_budget">(ckpt, py::none());
        if (!budgeted && !stored.is_none() && !budget.is_none()) {
            // The run's own budget, continued: its size is known before the plan is restored.
            const py::object seconds = PyDict_Check(stored.ptr()) ? vk::get<"seconds">(stored, py::none()) : py::none();
            if (PyFloat_CheckExact(seconds.ptr()) && PyFloat_AS_DOUBLE(seconds.ptr()) > 0) vk::set_attr<"seconds">(budget, seconds);
            budgeted = true;
        }
        // The best checkpoint knows the best metric (the last one is written before it is updated).
        const py::object best_path = join(vk::call(vk::imported<"os.path", "dirname">(), resume_from), kBest);
        if (exists(best_path)) {
            const py::object best = vk::get<"best_metric">(read_checkpoint(best_path, model), py::none());
            if (PyFloat_Check(best.ptr()) || (PyLong_Check(best.ptr()) && !PyBool_Check(best.ptr())))
                s.saved->best_before = PyFloat_AsDouble(best.ptr());
            if (PyErr_Occurred()) throw py::error_already_set();
        }
    }
    t.train_set = build_dataset(cfg, t.tokenizer, "train");
    if (py::len(t.train_set) == 0) config_fail(cfg.file, "the training partition has no utterances");
    t.val_set = build_dataset(cfg, t.tokenizer, "val", training_stats(t.train_set));
    if (py::len(t.val_set) == 0) config_fail(cfg.file, "the validation partition has no utterances");
    t.train_loader = loader(cfg, t.train_set, true);
    t.val_loader = loader(cfg, t.val_set, false);
    t.trainer = build_trainer(cfg, model, t.tokenizer);
    build_optimization(cfg, t.trainer, t.train_loader);
    const py::object root = vk::attr<"expt_root">(t.trainer);
    if (writes()) {
        vk::call_method<"save">(t.tokenizer, join(root, "tokenizer.json"));
        const py::object stats = training_stats(t.train_set);
        if (!stats.is_none()) vk::call(vk::imported<"torch", "save">(), stats, stats_path(root));
    }
    if (budgeted && !budget.is_none()) hold_to_budget(cfg, t, budget, epochs);
    const py::dict training = section(cfg, "training");
    if (training.contains("average_last")) s.saved->average_last = py::cast<long long>(training["average_last"]);
    start_epoch_clocks(*s.saved);
    keep_history_every_epoch(cfg, t.trainer, s.saved);
    return s;
}

// Restores the last checkpoint (already checked against the model); returns the epochs done.
long long resume(const Setup& s) {
    vk::call_method<"load_checkpoint">(s.t.trainer, kLast);
    // The last checkpoint is written once its epoch is complete: go on with the next one.
    const long long done = py::cast<long long>(vk::attr<"current_epoch">(s.t.trainer)) + 1;
    vk::set_attr<"current_epoch">(s.t.trainer, py::int_(done));
    return done;
}

int interrupted(const Config& cfg, const Setup& s, long long resumed_after) {
    const long long epoch = py::cast<long long>(vk::attr<"current_epoch">(s.t.trainer));
    const long long finished = std::max(s.saved->last_epoch, resumed_after);
    std::string next = finished >= 0 ? "`velkor train " + cfg.file + " --resume` continues after epoch " + std::to_string(finished)
                                     : "no epoch finished: `velkor train " + cfg.file + "` starts again";
    if (!writes()) return 130;
    vk::println("");
    print_stderr("velkor: interrupted in epoch " + std::to_string(epoch) + "; " + next);
    return 130;
}

}  // namespace

void save_history(const Config& cfg, py::handle trainer) {
    write_json(join(vk::attr<"expt_root">(trainer), "training_history.json"), vk::attr<"training_history">(trainer));
    plot_learning_curve(trainer, cfg);
}

Trained setup_training(const Config& cfg) { return setup(cfg, py::none()).t; }

void hold_to_budget(const Config& cfg, const Trained& t, py::handle budget, long long max_epochs, double eta_min) {
    const py::dict sched = section(cfg, "scheduler");
    const std::string name = lowercase(py::str(sched["name"]));
    const py::object own = sched.contains(name.c_str()) ? py::object(sched[name.c_str()]) : py::object(py::dict());
    if (eta_min < 0.0) {
        const char* key = name == "reduce_lr" ? "min_lr" : "eta_min";
        eta_min = PyDict_Check(own.ptr()) && py::dict(own).contains(key) ? py::cast<double>(py::dict(own)[key]) : 1e-4;
    }
    // A configured warm-up keeps its share of the training: its epochs over training.epochs.
    double warmup = 0.0, start = 0.1;
    const py::dict w = sched.contains("warmup") ? py::dict(sched["warmup"]) : py::dict();
    if (w.contains("enabled") && vk::truthy(w["enabled"])) {
        const double epochs = std::max(1.0, py::cast<double>(section(cfg, "training")["epochs"]));
        warmup = std::clamp((w.contains("epochs") ? py::cast<double>(w["epochs"]) : 5.0) / epochs, 0.0, 0.5);
        if (w.contains("start_factor")) start = std::clamp(py::cast<double>(w["start_factor"]), 1e-6, 1.0);
    }
    const long long group = py::cast<long long>(section(cfg, "training")["gradient_accumulation_steps"]);
    const long long per_epoch = std::max(1LL, (static_cast<long long>(py::len(t.train_loader)) + group - 1) / group);
    const long long upper = std::max(1LL, std::min(std::max(max_epochs, 1LL), 1000000000000LL / per_epoch) * per_epoch);
    const py::object optimizer = vk::attr<"optimizer">(t.trainer);
    const py::object schedule = vk::call(vk::imported<"velkor.utils.tamblor", "BudgetSchedule">(), optimizer, upper,
                                         kw<"warmup_fraction">(warmup), kw<"start_factor">(start), kw<"eta_min">(eta_min));
    vk::set_attr<"scheduler">(t.trainer, schedule);
    vk::set_attr<"time_budget">(t.trainer, budget);
    if (!writes()) return;
    const double seconds = vk::to_float(vk::attr<"seconds">(budget));
    vk::println("\n⏱  Time budget: ", vk::fixed_text(seconds / 60.0, 1), " min (", vk::fixed_text(seconds, 0), " s), at most ", max_epochs,
                " epoch(s) of ", per_epoch, " updates");
    vk::println(vk::kBranch, "Schedule: replaces the configured ", name, ": linear warm-up over ", vk::fixed_text(warmup * 100.0, 1),
                "% of the planned updates from ", start, " x, then cosine to ", eta_min);
    vk::println(vk::kLast, "Plan: the updates that fit, from the measured pace and validation time, re-made after every update");
}

long long train_within(const Config& cfg, const Trained& t, double budget_seconds, long long max_epochs, double eta_min) {
    const py::object budget = vk::call(vk::imported<"velkor.utils.tamblor", "TimeBudget">(), budget_seconds);
    hold_to_budget(cfg, t, budget, max_epochs, eta_min);
    const long long before = py::cast<long long>(vk::attr<"current_epoch">(t.trainer));
    vk::call_method<"train">(t.trainer, t.train_loader, t.val_loader, max_epochs);
    const long long epochs = py::cast<long long>(vk::attr<"current_epoch">(t.trainer)) - before;
    vk::println("\n", cfg.name, ": ", epochs, " epoch(s), ", vk::attr<"steps">(budget), " updates in ",
                vk::fixed_text(vk::to_float(vk::attr<"spent">(budget)), 0), " s of the ", vk::fixed_text(budget_seconds, 0),
                " s given; final learning rate ", vk::format_text(learning_rate_of(t.trainer), ".2e"));
    return epochs;
}

namespace {

int train(const Config& cfg, py::handle args) {
    const bool resuming = vk::truthy(vk::attr<"resume">(args)), overwrite = vk::truthy(vk::attr<"overwrite">(args));
    const py::object root = expt_root(cfg);
    if (holds_checkpoints(root) && !resuming && !overwrite)
        fail(cfg.file + ": " + str(root) + " holds a trained experiment: `velkor train " + cfg.file +
             " --resume` continues it, --overwrite starts it again (deleting its checkpoints and evaluation results)");
    wait_for_all();  // every process has looked before rank 0 clears
    if (overwrite && writes()) clear_experiment(root);
    wait_for_all();

    const py::object last = checkpoint_path(root, kLast);
    const bool from_checkpoint = resuming && exists(last);
    const bool printing = writes();
    if (resuming && !from_checkpoint && printing) vk::println("No checkpoint at ", last, ": training from the start");
    long long epochs = py::cast<long long>(section(cfg, "training")["epochs"]);
    // Made first, so that building the model and reading the data count against the budget.
    const double seconds = budget_seconds(cfg, args);
    const py::object clock_started = vk::call(vk::imported<"velkor.utils.tamblor", "TimeBudget">(), seconds > 0 ? seconds : 1.0);
    Setup s = setup(cfg, from_checkpoint ? last : py::object(py::none()), clock_started, seconds > 0, epochs);
    const py::object budget = vk::has_attr<"time_budget">(s.t.trainer) ? vk::attr<"time_budget">(s.t.trainer) : py::none();
    long long resumed_after = -1;
    if (from_checkpoint) {
        const long long done = resume(s);
        resumed_after = done - 1;
        epochs = std::max(0LL, epochs - done);
        std::string plan;
        if (!budget.is_none()) {
            // The budget given now wins over the one the run started with.
            if (seconds > 0) vk::set_attr<"seconds">(budget, py::float_(seconds));
            plan = "; time budget: " + vk::fixed_text(vk::to_float(vk::attr<"spent">(budget)), 0) + " of " +
                   vk::fixed_text(vk::to_float(vk::attr<"seconds">(budget)), 0) + " s spent" +
                   (vk::truthy(vk::attr<"finished">(budget)) ? ", its plan is done" : "");
        }
        if (printing) vk::println("Resuming after epoch ", resumed_after, ": ", epochs, " epoch(s) to go", plan);
    }
    const Trained& t = s.t;
    start_epoch_clocks(*s.saved);
    try {
        if (cfg.task == "progressive") {
            vk::call_method<"progressive_train">(t.trainer, t.train_loader, t.val_loader, py::object(cfg.data["stages"]));
            if (epochs > 0) vk::call_method<"train">(t.trainer, t.train_loader, t.val_loader, epochs);
        } else {
            vk::call_method<"train">(t.trainer, t.train_loader, t.val_loader, epochs);
        }
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_KeyboardInterrupt)) throw;
        return interrupted(cfg, s, resumed_after);
    }
    if (!printing) {
        vk::call_method<"cleanup">(t.trainer);
        return 0;
    }
    save_history(cfg, t.trainer);
    const py::object expt = vk::attr<"expt_root">(t.trainer);
    vk::println("\nExperiment: ", expt);
    const std::string metric = fmt(py::cast<double>(vk::attr<"best_metric">(t.trainer)), 4);
    const char* what = is_speech(cfg) ? "validation CER " : "validation loss ";
    if (s.saved->best_epoch >= 0) vk::println("Best epoch: ", s.saved->best_epoch, " (", what, metric, ")");
    if (s.saved->best_epoch < 0 && resumed_after >= 0)
        vk::println("Best checkpoint: kept from before epoch ", resumed_after + 1, " (", what, metric, "): no later epoch beat it");
    if (!budget.is_none())
        vk::println("Time budget: ", vk::fixed_text(vk::to_float(vk::attr<"spent">(budget)), 0), " of ",
                    vk::fixed_text(vk::to_float(vk::attr<"seconds">(budget)), 0), " s spent, ", vk::attr<"steps">(budget),
                    " updates; final learning rate ", vk::format_text(learning_rate_of(t.trainer), ".2e"));
    if (s.saved->average_last > 0) {
        try {
            average_checkpoints(expt, "last", s.saved->average_last);
        } catch (const Failure&) {
            vk::call_method<"cleanup">(t.trainer);
            throw;
        }
    }
    vk::println("Next: velkor evaluate ", cfg.file);
    vk::call_method<"cleanup">(t.trainer);
    return 0;
}

// The first line of an error, for the line naming the rank it stopped.
std::string first_line_of(py::error_already_set& e) {
    std::string s = py::str(e.value());
    return vk::type_name(e.value()) + ": " + s.substr(0, s.find('\n'));
}

}  // namespace

int run_train(py::handle args) {
    const Config cfg = load_config(py::str(vk::attr<"config">(args)));
    if (vk::truthy(vk::attr<"resume">(args)) && cfg.task == "progressive")
        config_fail(cfg.file, "--resume is not supported for progressive training (its stages change the model)");
    if (cfg.task == "progressive" && (!vk::attr<"minutes">(args).is_none() || section(cfg, "training").contains("minutes")))
        config_fail(
            cfg.file,
            "a time budget (--minutes, training.minutes) is not supported for progressive training (its stages set their own epochs)");
    const py::object nproc = vk::attr<"nproc">(args);
    if (!nproc.is_none()) return launch_processes(args, int_option(nproc, "--nproc", 1, 4096), cfg);
    use_threads(vk::attr<"threads">(args), &cfg);
    const DistributedRun group(cfg, vk::attr<"collective_timeout">(args));
    try {
        return train(cfg, args);
    } catch (const Failure& f) {
        group.report_failure(f.message);
        throw;
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_KeyboardInterrupt)) group.report_failure(first_line_of(e));
        throw;
    }
}

}  // namespace velkor_cli
