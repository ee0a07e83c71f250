// Next-token scores for the decoders, written once for the generator, the joint CTC/attention
// scorer, shallow fusion and the trainers: which of a model's score functions decoding uses, a
// plain score function seen through the incremental scorer protocol, the longest prefix a score
// function can take, and the weighted sum that mixes scores (with the check on its weights).
//
// A plain score function maps whole prefixes (N, T) to next-token scores (N, V). An incremental
// scorer offers start(x) (scores after the prompts x), step(tokens) (append one token per row)
// and select(rows) (new row i = old row rows[i]), and optionally `log_probs` (its scores are final
// log-scores) and `max_len` (the longest prefix it can score).
#pragma once

#include <vk/common.hpp>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>

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

// score_fn's own `max_len`: absent or None for no limit, else a positive int.
inline std::optional<long long> declared_max_len(py::handle fn) {
    if (!vk::has_attr<"max_len">(fn)) return std::nullopt;
    const py::object v = vk::attr<"max_len">(fn);
    if (v.is_none()) return std::nullopt;
    if (!PyLong_CheckExact(v.ptr()))
        throw py::type_error(vk::text("score_fn's attribute 'max_len' must be of type int or None, got ", vk::type_name(v)));
    const long long n = vk::as_index(v);
    if (n < 1) throw py::value_error(vk::text("score_fn's attribute 'max_len' must be positive, got ", n));
    return n;
}

// The longest total length (prompt included) `fn` can score: its own `max_len`, or else, for a
// bound method such as `lm.score`, the `max_len` of its object when that is a positive int.
inline std::optional<long long> max_len_of(py::handle fn) {
    if (const auto n = declared_max_len(fn)) return n;
    PyObject* owner = nullptr;
    if (PyMethod_Check(fn.ptr())) owner = PyMethod_GET_SELF(fn.ptr());
    if (PyCFunction_Check(fn.ptr())) owner = PyCFunction_GET_SELF(fn.ptr());
    if (owner == nullptr || PyModule_Check(owner) || !vk::has_attr<"max_len">(owner)) return std::nullopt;
    const py::object v = vk::attr<"max_len">(owner);
    if (!PyLong_CheckExact(v.ptr()) || vk::as_index(v) < 1) return std::nullopt;
    return vk::as_index(v);
}

inline py::object as_object(const std::optional<long long>& n) { return n ? py::object(py::int_(*n)) : py::object(py::none()); }

// a_weight * a + b_weight * b: a weight of 1 multiplies nothing, and a term of weight 0 is left
// out (its scores are not read, so -inf or NaN there cannot spoil the sum).
inline py::object weighted_sum(const py::object& a, double a_weight, const py::object& b, double b_weight) {
    const auto term = [](const py::object& t, double w) { return w == 1.0 ? t : vk::call_method<"mul">(t, w); };
    if (b_weight == 0.0) return term(a, a_weight);
    if (a_weight == 0.0) return term(b, b_weight);
    return vk::add(term(a, a_weight), term(b, b_weight));
}

// A score function seen through the incremental scorer protocol. An incremental scorer is called
// as it is. A plain one is called on the rows this adapter keeps: start sets them, select
// reorders them and step appends a column of tokens. A caller that keeps the extended rows
// itself (the generator) says so, and hands them to rescore instead: the function then scores
// those, and the adapter keeps no copy.
class Scores {
public:
    explicit Scores(py::object fn, bool caller_keeps_rows = false)
        : fn_(std::move(fn)), incremental_(is_scorer(fn_)), log_probs_(declares_log_probs(fn_)), caller_keeps_rows_(caller_keeps_rows) {}

    const py::object& fn() const { return fn_; }
    bool incremental() const { return incremental_; }
    // True when the scores are final log-scores, to be used without a log-softmax.
    bool log_probs() const { return log_probs_; }

    // The scores after the prompts x (N, T).
    py::object start(const py::object& x) {
        if (incremental_) return vk::call_method<"start">(fn_, x);
        if (!caller_keeps_rows_) rows_ = x;
        return vk::call(fn_, x);
    }

    // The scores after appending tokens (N,) to every row.
    py::object step(const py::object& tokens) {
        if (incremental_) return vk::call_method<"step">(fn_, tokens);
        const py::object column = vk::call_method<"view">(vk::call_method<"to">(tokens, vk::attr<"dtype">(started("step"))), -1, 1);
        rows_ = vk::call(vk::imported<"torch", "cat">(), py::make_tuple(rows_, column), vk::kw<"dim">(1));
        return vk::call(fn_, rows_);
    }

    // A plain function's scores of `rows`, the caller's own rows after step's tokens.
    py::object rescore(const py::object& rows) const { return vk::call(fn_, rows); }

    // New row i = old row rows[i].
    void select(const py::object& rows) {
        if (incremental_) {
            vk::call_method<"select">(fn_, rows);
        } else if (!caller_keeps_rows_) {
            const py::object& kept = started("select");
            rows_ = vk::call_method<"index_select">(kept, 0, vk::call_method<"to">(rows, vk::attr<"device">(kept)));
        }
    }

private:
    const py::object& started(const char* method) const {
        if (!rows_) throw py::value_error(std::string("start() must be called before ") + method + "()");
        return rows_;
    }

    py::object fn_;
    bool incremental_;
    bool log_probs_;
    bool caller_keeps_rows_;
    py::object rows_;  // a plain function's rows, unless the caller keeps them
};

}  // namespace vkdomain
