// Python context managers held by C++ code: a `with` block around a body, and a guard that holds
// one for a C++ scope.
//
//     vk::with_block(vk::call(vk::imported<"torch", "inference_mode">()), [&] { ... });
//     const vk::Context no_grad(vk::call(vk::imported<"torch", "inference_mode">()));
#pragma once

#include "call.hpp"
#include "checks.hpp"
#include "definitions.hpp"

#include <utility>

namespace vk {

// Enters `manager` when made, leaves it when destroyed (unless left already). Leaving from the
// destructor passes no error to __exit__, and an error __exit__ raises there is reported as
// unraisable: a body whose errors __exit__ must see, or may suppress, runs in with_block.
class Context {
public:
    explicit Context(py::handle manager)
        : manager_(py::reinterpret_borrow<py::object>(manager)),
          exit_(attr<"__exit__">(manager)),
          value_(call_method<"__enter__">(manager)) {}
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
    ~Context() {
        if (!exit_) return;
        try {
            leave();
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable("leaving a context manager");
        } catch (...) {
            detail::raise_current_exception();
            PyErr_WriteUnraisable(manager_.ptr());
        }
    }

    // What __enter__ returned (the `as` target).
    const py::object& value() const { return value_; }

    // Leaves the block normally, raising what __exit__ raises.
    void leave() {
        const py::object exit = std::move(exit_);
        call(exit, nullptr, nullptr, nullptr);
    }

    // Leaves the block as `with` does when its body raised `error`: true when __exit__
    // suppresses it. An error __exit__ raises itself replaces the body's, as in Python.
    bool leave(py::error_already_set& error) {
        const py::object exit = std::move(exit_);
        // An error set from C has no traceback yet: __exit__ then gets None.
        const py::object traceback = error.trace() ? error.trace() : py::none();
        return truthy(call(exit, error.type(), error.value(), traceback));
    }

private:
    py::object manager_, exit_, value_;
};

// `with manager: body()`: __exit__ sees the error when body raises (a C++ error as the Python
// error it becomes), and may suppress it.
template <class F>
void with_block(py::handle manager, F&& body) {
    Context context(manager);
    try {
        std::forward<F>(body)();
    } catch (py::error_already_set& e) {
        if (!context.leave(e)) throw;
        return;
    } catch (...) {
        detail::raise_current_exception();
        py::error_already_set e;
        if (!context.leave(e)) throw e;
        return;
    }
    context.leave();
}

}  // namespace vk
