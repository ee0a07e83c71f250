// Argument checks shared by every module: integer, text and dictionary arguments are tested
// for the exact built-in type (a bool is not an int, None is refused), with one message format.
#pragma once

#include "names.hpp"

#include <string>

namespace vk {

inline std::string type_name(py::handle v) { return display(attr<"__name__">(reinterpret_cast<PyObject*>(Py_TYPE(v.ptr())))); }

[[noreturn]] inline void raise_arg_type(const char* arg, const char* expected, py::handle given) {
    throw py::type_error(std::string("Argument '") + arg + "' must be of type " + expected + ", got " + type_name(given));
}

// Python integers have no size limit; ours stop at 64 bits, and say which argument overflowed.
inline long long exact_int(py::handle v, const char* arg) {
    if (!PyLong_CheckExact(v.ptr())) raise_arg_type(arg, "int", v);
    int overflow = 0;
    const long long r = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (r == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0) {
        PyErr_Format(PyExc_OverflowError, "Argument '%s' is out of range: it must fit in a signed 64-bit integer", arg);
        throw py::error_already_set();
    }
    return r;
}

// Text handed to C++ must be valid Unicode: a lone surrogate has no UTF-8 form.
inline std::string exact_str(py::handle v, const char* arg) {
    if (!PyUnicode_CheckExact(v.ptr())) raise_arg_type(arg, "str", v);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(v.ptr(), &size);
    if (data == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw py::error_already_set();
        PyErr_Clear();
        throw py::value_error(std::string("Argument '") + arg + "' is not valid text: it holds a lone surrogate, " + display_repr(v));
    }
    return std::string(data, static_cast<std::size_t>(size));
}

// A configuration value that must be an exact int, named by its key in the error.
inline long long config_int(py::handle v, const char* key) {
    if (!PyLong_CheckExact(v.ptr()))
        throw py::type_error(std::string("Configuration key '") + key + "' must be of type int, got " + type_name(v));
    int overflow = 0;
    const long long r = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (r == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0) {
        PyErr_Format(PyExc_OverflowError, "Configuration key '%s' is out of range: it must fit in a signed 64-bit integer", key);
        throw py::error_already_set();
    }
    return r;
}

inline py::dict exact_dict(py::handle v, const char* arg) {
    if (!PyDict_CheckExact(v.ptr())) raise_arg_type(arg, "dict", v);
    return py::reinterpret_borrow<py::dict>(v);
}

// float(v): what a parameter declared `float` does with what it is given.
inline double to_float(py::handle v) {
    PyObject* f = PyNumber_Float(v.ptr());
    if (f == nullptr) throw py::error_already_set();
    const double r = PyFloat_AS_DOUBLE(f);
    Py_DECREF(f);
    return r;
}

// A float parameter: real numbers only (int, float, numpy floating scalars, objects with
// __float__), never text, which PyNumber_Float would parse.
inline double to_real(py::handle v, const char* arg) {
    PyObject* o = v.ptr();
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    if (PyUnicode_Check(o) || PyBytes_Check(o) || PyByteArray_Check(o) || PyBool_Check(o) ||
        (!PyFloat_Check(o) && !PyLong_Check(o) && Py_TYPE(o)->tp_as_number == nullptr) ||
        (!PyFloat_Check(o) && !PyLong_Check(o) && Py_TYPE(o)->tp_as_number->nb_float == nullptr &&
         Py_TYPE(o)->tp_as_number->nb_index == nullptr))
        raise_arg_type(arg, "float", v);
    const double r = PyFloat_AsDouble(o);
    if (r == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw py::error_already_set();
        PyErr_Clear();
        PyErr_Format(PyExc_OverflowError, "Argument '%s' is out of range: too large to convert to float", arg);
        throw py::error_already_set();
    }
    return r;
}

// operator.index(v) as a C++ integer: ints and objects with __index__, never floats.
inline long long as_index(py::handle v) {
    const py::object i = py::reinterpret_steal<py::object>(PyNumber_Index(v.ptr()));
    if (!i) throw py::error_already_set();
    const long long r = PyLong_AsLongLong(i.ptr());
    if (r == -1 && PyErr_Occurred()) throw py::error_already_set();
    return r;
}

// isinstance(obj, cls).
inline bool is_instance(py::handle obj, py::handle cls) {
    const int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

inline bool is_tensor(py::handle v) { return is_instance(v, imported<"torch", "Tensor">()); }

// Python truth value of v (bool(v)).
inline bool truthy(py::handle v) {
    const int r = PyObject_IsTrue(v.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

}  // namespace vk

namespace vk {

// Attaches context (say, which file failed) to the Python exception in flight, keeping its type
// and message: catch (py::error_already_set& e) { vk::add_note(e, "while reading " + path); throw; }
inline void add_note(py::error_already_set& e, const std::string& note) {
    PyObject* r = PyObject_CallMethod(e.value().ptr(), "add_note", "s", note.c_str());
    if (r == nullptr) throw py::error_already_set();
    Py_DECREF(r);
}

// An integer argument that also takes any other real number, converted as int() does; text,
// bytes and other non-numbers are a TypeError naming the argument.
inline py::object integer_like(py::handle v, const char* arg) {
    PyObject* o = v.ptr();
    if (PyLong_CheckExact(o)) return py::reinterpret_borrow<py::object>(v);
    const bool number =
        !PyBool_Check(o) && (PyFloat_Check(o) || PyIndex_Check(o) || PyObject_IsInstance(o, imported<"numbers", "Real">().ptr()) == 1);
    if (PyErr_Occurred()) throw py::error_already_set();
    if (!number) raise_arg_type(arg, "int", v);
    PyObject* r = PyNumber_Long(o);
    if (r == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

}  // namespace vk
