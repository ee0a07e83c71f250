// The training pass both trainers run, written once: the model in training mode, a progress bar,
// each batch's forward pass and loss under the trainer's autocast, gradients accumulated over
// "gradient_accumulation_steps" batches through the gradient scaler, one optimizer and scheduler
// step per group (and one for a last incomplete group), the CUDA cache emptied after each batch.
//
// Under a process group the forward pass runs through a DistributedDataParallel wrapper of the
// trainer's model (the trainer keeps the plain model): gradients are averaged over the processes
// on the last batch of each group only (no_sync on the others), and the trainers weight each
// process's loss by its share of the global batch, so one update equals that of one process over
// the global batch.
//
// A trainer held to a time budget (trainer.time_budget, a velkor.utils.tamblor.TimeBudget) is
// told of every update; the pass stops between updates once the budget's plan is done, and the
// epoch loops ask it before each epoch whether another pass fits.
#pragma once

#include <vk/common.hpp>
#include <vkdomain/distributed.hpp>

#include <algorithm>
#include <string>
#include <utility>

namespace vkdomain {

namespace py = pybind11;

// "training" -> "gradient_accumulation_steps": a positive integer, read at every use.
inline long long accumulation_steps(py::handle trainer) {
    constexpr const char* kKey = "training' -> 'gradient_accumulation_steps";
    const py::object value = vk::item<"gradient_accumulation_steps">(vk::item<"training">(vk::attr<"config">(trainer)));
    const long long steps = vk::config_int(value, kKey);
    if (steps < 1) throw py::value_error(vk::text("Configuration key '", kKey, "' must be a positive integer, got ", steps));
    return steps;
}

// A scheduler that follows a validation metric: the epoch loop steps it, never a pass.
inline bool is_plateau(py::handle scheduler) {
    return vk::is_instance(scheduler, vk::imported<"torch.optim.lr_scheduler", "ReduceLROnPlateau">());
}

inline void release_cuda_cache() { vk::call(vk::imported<"torch.cuda", "empty_cache">()); }

// The trainer's time budget, or None when training is not held to one.
inline py::object time_budget(py::handle trainer) {
    if (!vk::has_attr<"time_budget">(trainer)) return py::none();
    return vk::attr<"time_budget">(trainer);
}

// Told by the epoch loops after an epoch's validation, before it is logged and saved (`epochs_left`:
// the epochs of the call after this one), so that the saved state knows when the plan is done.
inline void budget_epoch_validated(py::handle trainer, long long epochs_left) {
    const py::object budget = time_budget(trainer);
    if (!budget.is_none()) vk::call_method<"end_epoch">(budget, py::int_(epochs_left), vk::attr<"scheduler">(trainer));
}

// Asked by the epoch loops before each epoch (`epochs_left` of the call, this one included):
// whether a training pass fits in what is left of the trainer's time budget. True without one.
inline bool budget_allows_epoch(py::handle trainer, py::handle train_loader, py::handle val_loader, long long epochs_left) {
    const py::object budget = time_budget(trainer);
    if (budget.is_none()) return true;
    const auto length = [](py::handle loader) -> long long {
        const Py_ssize_t n = PyObject_Length(loader.ptr());
        if (n < 0) PyErr_Clear();  // a loader without a length: unknown
        return n;
    };
    const long long batches = length(train_loader), validation = length(val_loader);
    const long long group = accumulation_steps(trainer);
    const long long per_epoch = batches < 0 ? -1 : (batches + group - 1) / group;
    return vk::truthy(vk::call_method<"begin_epoch">(budget, py::int_(per_epoch), py::int_(std::max(validation, 0LL)),
                                                     py::int_(epochs_left), vk::attr<"scheduler">(trainer)));
}

// The precision of the forward pass and the loss: the trainer's `amp_dtype` (float16 on CUDA,
// bfloat16 on the CPU for a trainer without one). float32 means no autocast.
inline py::object amp_dtype(py::handle trainer) {
    if (!vk::has_attr<"amp_dtype">(trainer)) {
        const bool cuda = vk::display(vk::attr<"device">(trainer)) == "cuda";
        return py::reinterpret_borrow<py::object>(cuda ? vk::imported<"torch", "float16">() : vk::imported<"torch", "bfloat16">());
    }
    py::object dtype = vk::attr<"amp_dtype">(trainer);
    if (PyUnicode_Check(dtype.ptr())) dtype = py::getattr(vk::torch(), dtype);
    return dtype;
}

// Runs `body` under the trainer's autocast (device_type = the trainer's device).
template <class F>
void under_autocast(py::handle trainer, F&& body) {
    const py::object dtype = amp_dtype(trainer);
    if (dtype.is(vk::imported<"torch", "float32">())) {
        std::forward<F>(body)();
        return;
    }
    const py::object autocast =
        vk::call(vk::imported<"torch", "autocast">(), vk::kw<"device_type">(vk::attr<"device">(trainer)), vk::kw<"dtype">(dtype));
    vk::with_block(autocast, std::forward<F>(body));
}

// Gradient accumulation over G batches: each batch's loss is back-propagated divided by G through
// the gradient scaler, and every G-th batch ends with an update: the scaler steps the optimizer,
// the scheduler steps (unless it follows a validation metric), the scaler updates and the
// gradients are cleared.
class Accumulation {
public:
    Accumulation(py::handle trainer, py::object model, World world)
        : trainer_(py::reinterpret_borrow<py::object>(trainer)),
          optimizer_(vk::attr<"optimizer">(trainer)),
          scheduler_(vk::attr<"scheduler">(trainer)),
          scaler_(vk::attr<"scaler">(trainer)),
          budget_(time_budget(trainer)),
          model_(std::move(model)),
          world_(world) {
        vk::call_method<"zero_grad">(optimizer_);
    }

    // What the forward pass calls: the model, or its data-parallel wrapper under a process group.
    const py::object& model() const { return model_; }
    const World& world() const { return world_; }

    // Whether the batch after `done` batches ends a group (or the pass of `total` batches; -1:
    // unknown): only then are gradients averaged over the processes.
    bool closes_group(long long done, long long total) const {
        return (done + 1) % accumulation_steps(trainer_) == 0 || done + 1 == total || total < 0;
    }

    // Back-propagates one batch's loss; returns the bar's "k/G" (the batch's place in its group).
    std::string backward(const py::object& loss) {
        const long long steps = accumulation_steps(trainer_);
        const py::object scaled = vk::detail::steal_or_throw(PyNumber_TrueDivide(loss.ptr(), py::int_(steps).ptr()));
        vk::call_method<"backward">(vk::call_method<"scale">(scaler_, scaled));
        const long long place = batches_ % steps + 1;
        if (++batches_ % steps == 0) update();
        return vk::text(place, "/", steps);
    }

    // Applies the gradients of a last, incomplete group.
    void finish() {
        if (batches_ % accumulation_steps(trainer_) != 0) update();
    }

    // Whether the time budget's plan is done: the pass stops before its next batch.
    bool out_of_time() const { return out_of_time_; }

private:
    void update() {
        vk::call_method<"step">(scaler_, optimizer_);
        if (!scheduler_.is_none() && !is_plateau(scheduler_)) vk::call_method<"step">(scheduler_);
        vk::call_method<"update">(scaler_);
        vk::call_method<"zero_grad">(optimizer_);
        if (!budget_.is_none() && vk::truthy(vk::call_method<"step_done">(budget_, scheduler_))) out_of_time_ = true;
    }

    py::object trainer_, optimizer_, scheduler_, scaler_, budget_, model_;
    World world_;
    long long batches_ = 0;
    bool out_of_time_ = false;
};

// The trainable parameters, by identity: a stage that freezes or swaps layers changes them.
inline py::tuple trainable_parameters(py::handle model) {
    py::list out;
    for (const py::handle p : py::iter(vk::call_method<"parameters">(model)))
        if (vk::truthy(vk::attr<"requires_grad">(p))) out.append(p);
    return py::tuple(out);
}

inline bool same_objects(py::handle a, py::handle b) {
    const py::tuple x = py::reinterpret_borrow<py::tuple>(a), y = py::reinterpret_borrow<py::tuple>(b);
    if (x.size() != y.size()) return false;
    for (std::size_t i = 0; i < x.size(); ++i)
        if (!x[i].is(y[i])) return false;
    return true;
}

// The trainer's model wrapped in DistributedDataParallel, kept on the trainer (_data_parallel:
// wrapper, trainable parameters) and built again when the trainable parameters changed. The
// wrapper looks for parameters the loss did not reach when the trainer's find_unused_parameters
// is true (a CTC head without CTC weight, for instance).
inline py::object data_parallel(py::handle trainer) {
    const py::object model = vk::attr<"model">(trainer);
    const py::tuple trainable = trainable_parameters(model);
    if (vk::has_attr<"_data_parallel">(trainer)) {
        const py::object kept = vk::attr<"_data_parallel">(trainer);
        if (PyTuple_CheckExact(kept.ptr()) && py::len(kept) == 2) {
            const py::tuple pair = py::reinterpret_borrow<py::tuple>(kept);
            if (vk::attr<"module">(pair[0]).is(model) && same_objects(pair[1], trainable)) return pair[0];
        }
    }
    const bool cuda = vk::display(vk::attr<"device">(trainer)) == "cuda";
    const py::object device_ids =
        cuda ? py::object(py::make_tuple(vk::call(vk::imported<"torch.cuda", "current_device">()))) : py::object(py::none());
    const bool find_unused = vk::has_attr<"find_unused_parameters">(trainer) && vk::truthy(vk::attr<"find_unused_parameters">(trainer));
    const py::object wrapper = vk::call(vk::imported<"torch.nn.parallel", "DistributedDataParallel">(), model,
                                        vk::kw<"device_ids">(device_ids), vk::kw<"find_unused_parameters">(py::bool_(find_unused)));
    vk::set_attr<"_data_parallel">(trainer, py::make_tuple(wrapper, trainable));
    return wrapper;
}

// A progress bar that only rank 0 draws.
template <class... A>
vk::Bar pass_bar(py::handle loader, const char* desc, A&&... more) {
    return vk::Bar(loader, vk::kw<"dynamic_ncols">(true), vk::kw<"leave">(false), vk::kw<"position">(0), vk::kw<"desc">(desc),
                   vk::kw<"disable">(py::bool_(!world().writes())), std::forward<A>(more)...);
}

// One training pass over `loader` with a bar titled `desc`: `step(batch, accumulation)` runs one
// batch (its forward pass under under_autocast, then accumulation.backward) and returns the
// bar's postfix. The batch's tensors are gone when step returns, before the cache is emptied.
template <class Step>
void training_pass(py::handle trainer, py::handle loader, const char* desc, Step&& step) {
    const py::object model = vk::attr<"model">(trainer);
    vk::call_method<"train">(model);
    const World w = world();
    vk::Bar bar = pass_bar(loader, desc);
    Accumulation accumulation(trainer, w.group ? data_parallel(trainer) : model, w);
    const Py_ssize_t total = w.group ? PyObject_Length(loader.ptr()) : -1;
    if (total < 0) PyErr_Clear();  // a loader without a length: every batch synchronizes
    long long done = 0;
    for (const py::handle batch : py::iter(loader)) {
        if (!w.group || accumulation.closes_group(done, total)) {
            bar.advance(step(batch, accumulation));
        } else {
            vk::with_block(vk::call_method<"no_sync">(accumulation.model()), [&] { bar.advance(step(batch, accumulation)); });
        }
        ++done;
        release_cuda_cache();
        if (accumulation.out_of_time()) break;  // right after an update: no gradients are pending
    }
    accumulation.finish();
    bar.close();
}

}  // namespace vkdomain
