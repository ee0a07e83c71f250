// The training pass both trainers run, written once: the model in training mode, a progress bar,
// each batch's forward pass and loss under the trainer's autocast, gradients accumulated over
// "gradient_accumulation_steps" batches through the gradient scaler, one optimizer and scheduler
// step per group (and one for a last incomplete group), the CUDA cache emptied after each batch.
#pragma once

#include <vk/common.hpp>
#include <vk/context.hpp>
#include <vk/lookup.hpp>

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
    explicit Accumulation(py::handle trainer)
        : trainer_(py::reinterpret_borrow<py::object>(trainer)),
          optimizer_(vk::attr<"optimizer">(trainer)),
          scheduler_(vk::attr<"scheduler">(trainer)),
          scaler_(vk::attr<"scaler">(trainer)) {
        vk::call_method<"zero_grad">(optimizer_);
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

private:
    void update() {
        vk::call_method<"step">(scaler_, optimizer_);
        if (!scheduler_.is_none() && !is_plateau(scheduler_)) vk::call_method<"step">(scheduler_);
        vk::call_method<"update">(scaler_);
        vk::call_method<"zero_grad">(optimizer_);
    }

    py::object trainer_, optimizer_, scheduler_, scaler_;
    long long batches_ = 0;
};

// One training pass over `loader` with a bar titled `desc`: `step(batch, accumulation)` runs one
// batch (its forward pass under under_autocast, then accumulation.backward) and returns the
// bar's postfix. The batch's tensors are gone when step returns, before the cache is emptied.
template <class Step>
void training_pass(py::handle trainer, py::handle loader, const char* desc, Step&& step) {
    vk::call_method<"train">(vk::attr<"model">(trainer));
    vk::Bar bar(loader, vk::kw<"dynamic_ncols">(true), vk::kw<"leave">(false), vk::kw<"position">(0), vk::kw<"desc">(desc));
    Accumulation accumulation(trainer);
    for (const py::handle batch : py::iter(loader)) {
        bar.advance(step(batch, accumulation));
        release_cuda_cache();
    }
    accumulation.finish();
    bar.close();
}

}  // namespace vkdomain
