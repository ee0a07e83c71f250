// Next-token scores for the decoders: which of a model's score functions decoding uses, the
// checks on the weights that mix scores, and the weighted sum itself.
#pragma once

#include <vk/common.hpp>

#include <cmath>
#include <limits>
#include <string>

namespace vkdomain {

namespace py = pybind11;

// An incremental scorer offers start(x), step(tokens) and select(rows), checked by name.
inline bool is_scorer(py::handle fn) { return vk::has_attr<"start">(fn) && vk::has_attr<"step">(fn) && vk::has_attr<"select">(fn); }

// A truthy `log_probs` attribute marks scores that are final log-scores.
inline bool declares_log_probs(py::handle fn) { return vk::has_attr<"log_probs">(fn) && vk::truthy(vk::attr<"log_probs">(fn)); }

namespace detail {

inline bool defines(py::handle namespace_owner, py::handle name) {
    PyObject* dict = PyObject_GenericGetDict(namespace_owner.ptr(), nullptr);
    if (dict == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError) && !PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
        PyErr_Clear();
        return false;
    }
    const py::object held = py::reinterpret_steal<py::object>(dict);
    const int found = PySequence_Contains(dict, name.ptr());
    if (found < 0) throw py::error_already_set();
    return found == 1;
}

inline bool class_defines(py::handle cls, py::handle name) {
    const py::object dict = vk::attr<"__dict__">(cls);
    const int found = PySequence_Contains(dict.ptr(), name.ptr());
    if (found < 0) throw py::error_already_set();
    return found == 1;
}

}  // namespace detail

// True when decoding may use the model's incremental scorer in place of its `score`: the model
// has one, and its class does not override `score` without also overriding `incremental_scorer`
// (the scorer would then ignore the override). Whichever of the two the most derived class
// defines first decides; an incremental scorer set on the instance itself is taken as given.
inline bool offers_incremental(py::handle model) {
    if (!vk::has_attr<"incremental_scorer">(model)) return false;
    const py::handle incremental = vk::name<"incremental_scorer">();
    const py::handle score = vk::name<"score">();
    if (!PyType_Check(model.ptr()) && detail::defines(model, incremental)) return true;
    const py::tuple mro = vk::attr<"__mro__">(reinterpret_cast<PyObject*>(Py_TYPE(model.ptr())));
    for (const py::handle cls : mro) {
        if (detail::class_defines(cls, incremental)) return true;
        if (detail::class_defines(cls, score)) return false;
    }
    return true;
}

// A weight that mixes scores: a number between 0 and `upper` (no upper limit when infinite).
// NaN, infinity and negative weights are refused.
inline double checked_weight(double weight, const char* name, double upper = std::numeric_limits<double>::infinity()) {
    if (std::isinf(upper) ? (weight >= 0.0 && std::isfinite(weight)) : (weight >= 0.0 && weight <= upper)) return weight;
    if (std::isinf(upper)) throw py::value_error(std::string(name) + " must be a finite number >= 0, got " + vk::float_text(weight));
    const std::string limit = upper == std::floor(upper) ? std::to_string(static_cast<long long>(upper)) : vk::float_text(upper);
    throw py::value_error(std::string(name) + " must be between 0 and " + limit + ", got " + vk::float_text(weight));
}

}  // namespace vkdomain
