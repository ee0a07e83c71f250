// Interned attribute names and cached imports.
//
// `name<"forward">()` is created once per literal and kept for the life of the process, so
// an attribute lookup from C++ costs what the same lookup costs in Python source.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstddef>
#include <string>

namespace vk {

namespace py = pybind11;

// A string literal usable as a template argument: name<"x">, kw<"x">(...), imported<"m", "a">.
template <std::size_t N>
struct Lit {
    char text[N]{};
    constexpr Lit(const char (&s)[N]) { std::copy_n(s, N, text); }
};

// Objects held by these caches are deliberately never released: they must outlive every
// module that uses them, and the interpreter tears modules down in no fixed order.
inline PyObject* keep(py::object o) { return o.release().ptr(); }

template <Lit S>
py::handle name() {
    static PyObject* const interned = [] {
        PyObject* s = PyUnicode_InternFromString(S.text);
        if (s == nullptr) throw py::error_already_set();
        return s;
    }();
    return interned;
}

template <Lit S>
py::object attr(py::handle obj) {
    PyObject* r = PyObject_GetAttr(obj.ptr(), name<S>().ptr());
    if (r == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

template <Lit S>
void set_attr(py::handle obj, py::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name<S>().ptr(), value.ptr()) != 0) throw py::error_already_set();
}

template <Lit S>
bool has_attr(py::handle obj) {
    PyObject* r = PyObject_GetAttr(obj.ptr(), name<S>().ptr());
    if (r != nullptr) {
        Py_DECREF(r);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return false;
}

// A module, or one of its attributes, imported on first use and cached:
// imported<"torch.nn">(), imported<"torch.nn", "Linear">().
template <Lit Module, Lit Attr = "">
py::handle imported() {
    static PyObject* const cached = [] {
        py::object m = py::module_::import(Module.text);
        if constexpr (Attr.text[0] == '\0') {
            return keep(std::move(m));
        } else {
            return keep(attr<Attr>(m));
        }
    }();
    return cached;
}

// The UTF-8 bytes of a str. Lone surrogates (file names that are not UTF-8, text from
// json.loads) are not valid UTF-8: `errors` says what to do with them, as in str.encode:
// "backslashreplace" for messages, "surrogatepass" for text that goes back to Python unchanged.
inline std::string utf8(py::handle text, const char* errors = "backslashreplace") {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size)) return std::string(data, static_cast<std::size_t>(size));
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw py::error_already_set();
    PyErr_Clear();
    PyObject* bytes = PyUnicode_AsEncodedString(text.ptr(), "utf-8", errors);
    if (bytes == nullptr) throw py::error_already_set();
    const py::object held = py::reinterpret_steal<py::object>(bytes);
    return std::string(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
}

// str(obj) for an error message: never fails on text that is not valid UTF-8.
inline std::string display(py::handle obj) {
    PyObject* s = PyObject_Str(obj.ptr());
    if (s == nullptr) throw py::error_already_set();
    return utf8(py::reinterpret_steal<py::object>(s));
}

// repr(obj) for an error message.
inline std::string display_repr(py::handle obj) {
    PyObject* s = PyObject_Repr(obj.ptr());
    if (s == nullptr) throw py::error_already_set();
    return utf8(py::reinterpret_steal<py::object>(s));
}

// Frequently used handles.
inline py::handle torch() { return imported<"torch">(); }
inline py::handle nn() { return imported<"torch.nn">(); }
inline py::handle functional() { return imported<"torch.nn.functional">(); }
inline py::handle nn_module() { return imported<"torch.nn", "Module">(); }

}  // namespace vk
