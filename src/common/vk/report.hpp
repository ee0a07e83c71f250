// Printed reports: text assembled from C++ values and Python objects, written with Python's
// print() so that redirected or captured standard output sees it.
#pragma once

#include "call.hpp"
#include "checks.hpp"
#include "definitions.hpp"

#include <cstdio>
#include <string>
#include <string_view>
#include <type_traits>

namespace vk {

// Tree prefixes of every report.
inline constexpr std::string_view kBranch = "├── ";
inline constexpr std::string_view kLast = "└── ";
inline constexpr std::string_view kPipe = "│   ";
inline constexpr std::string_view kBlank = "    ";

// A float as Python's str() writes it (shortest round-trip form: 0.1, 1e-05, 1.0).
inline std::string float_text(double v) {
    char* s = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (s == nullptr) throw py::error_already_set();
    std::string r(s);
    PyMem_Free(s);
    return r;
}

// A float in fixed notation with `decimals` places, like f"{v:.6f}".
inline std::string fixed_text(double v, int decimals) {
    char* s = PyOS_double_to_string(v, 'f', decimals, 0, nullptr);
    if (s == nullptr) throw py::error_already_set();
    std::string r(s);
    PyMem_Free(s);
    return r;
}

// format(obj, format_spec), for Python objects whose formatting must match an f-string exactly.
inline std::string format_text(py::handle obj, const char* format_spec) {
    PyObject* formatted = PyObject_Format(obj.ptr(), py::str(format_spec).ptr());
    if (formatted == nullptr) throw py::error_already_set();
    return utf8(py::reinterpret_steal<py::object>(formatted), "surrogatepass");
}

namespace detail {

template <class T>
void append_text(std::string& out, const T& part) {
    if constexpr (std::is_base_of_v<py::handle, T>) {
        // Lone surrogates travel through unchanged and reach print() as Python would pass them.
        PyObject* s = PyObject_Str(part.ptr());
        if (s == nullptr) throw py::error_already_set();
        out += utf8(py::reinterpret_steal<py::object>(s), "surrogatepass");
    } else if constexpr (std::is_same_v<T, bool>) {
        out += part ? "True" : "False";
    } else if constexpr (std::is_integral_v<T>) {
        out += std::to_string(part);
    } else if constexpr (std::is_floating_point_v<T>) {
        out += float_text(static_cast<double>(part));
    } else {
        out += part;
    }
}

}  // namespace detail

// Concatenates parts the way an f-string would print them.
template <class... A>
std::string text(const A&... parts) {
    std::string out;
    (detail::append_text(out, parts), ...);
    return out;
}

inline void print_line(std::string_view line) {
    PyObject* text = PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "surrogatepass");
    if (text == nullptr) throw py::error_already_set();
    call(imported<"builtins", "print">(), py::reinterpret_steal<py::object>(text));
}

template <class... A>
void println(const A&... parts) {
    print_line(text(parts...));
}

}  // namespace vk
