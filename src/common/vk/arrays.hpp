// numpy arrays seen from C++: cached numpy handles, shapes as native vectors, and the argument
// checks that turn a wrong shape or dtype into an error naming the argument.
#pragma once

#include "call.hpp"

#include <cstddef>
#include <string>
#include <vector>

namespace vk {

using Shape = std::vector<Py_ssize_t>;

inline py::handle numpy() { return imported<"numpy">(); }

inline Shape shape_of(py::handle array) {
    const py::tuple t(attr<"shape">(array));
    Shape s(t.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        s[i] = PyNumber_AsSsize_t(t[i].ptr(), PyExc_OverflowError);
        if (s[i] == -1 && PyErr_Occurred()) throw py::error_already_set();
    }
    return s;
}

inline py::tuple shape_tuple(const Shape& s) {
    py::tuple t(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) t[i] = py::int_(s[i]);
    return t;
}

// A shape as Python writes the tuple: (2, 3), (4,), ().
inline std::string shape_text(const Shape& s) {
    std::string out = "(";
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (i > 0) out += ", ";
        out += std::to_string(s[i]);
    }
    return out + (s.size() == 1 ? ",)" : ")");
}

// The dtype's kind letter: 'b' bool, 'i'/'u' integers, 'f' floats, 'c' complex, ...
inline char dtype_kind(py::handle array) { return display(attr<"kind">(attr<"dtype">(array))).at(0); }

inline std::string dtype_text(py::handle array) { return display(attr<"dtype">(array)); }

// np.asarray(x) as a real floating array: floats pass through without a copy, booleans and
// integers become float64 (so in-place float arithmetic on results is safe), anything else is
// refused with a TypeError naming the argument.
inline py::object float_array(py::handle x, const char* arg) {
    py::object a = call(imported<"numpy", "asarray">(), x);
    const char kind = dtype_kind(a);
    if (kind == 'f') return a;
    if (kind == 'b' || kind == 'i' || kind == 'u') return call_method<"astype">(a, imported<"numpy", "float64">());
    throw py::type_error(std::string("Argument '") + arg + "' must be a real-valued array, got dtype " + dtype_text(a));
}

// np.asarray(x) with a boolean dtype (True = may not attend), or a TypeError naming the argument.
inline py::object bool_array(py::handle x, const char* arg) {
    py::object a = call(imported<"numpy", "asarray">(), x);
    if (dtype_kind(a) != 'b')
        throw py::type_error(std::string("Argument '") + arg + "' must be a boolean array, got dtype " + dtype_text(a));
    return a;
}

}  // namespace vk
