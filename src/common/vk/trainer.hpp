// Pieces the trainer modules share: integer-like arguments and the handling of the errors a
// trainer reports and goes on from (`with` blocks come from context.hpp).
#pragma once

#include "args.hpp"
#include "call.hpp"
#include "context.hpp"
#include "functions.hpp"

#include <string>
#include <utility>

namespace vk {

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

// An ordinary error (an Exception), as opposed to an interruption request (KeyboardInterrupt,
// SystemExit, GeneratorExit), which a trainer never swallows.
inline bool ordinary_error(const py::error_already_set& e) { return e.matches(PyExc_Exception); }

// str() of the error in flight, as an f-string shows it.
inline std::string error_text(const py::error_already_set& e) { return py::str(e.value()); }

// Raises `type(message)` with `context` as its __context__, as `raise` inside `except` does.
[[noreturn]] inline void raise_in_context(PyObject* type, const std::string& message, py::error_already_set& context) {
    const py::object error = py::reinterpret_borrow<py::object>(type)(message);
    PyException_SetContext(error.ptr(), context.value().inc_ref().ptr());
    PyErr_SetObject(type, error.ptr());
    throw py::error_already_set();
}

}  // namespace vk
