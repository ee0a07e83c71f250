// Pieces the trainer modules share: integer-like arguments, `with` blocks, and the handling of
// the errors a trainer reports and goes on from.
#pragma once

#include "args.hpp"
#include "call.hpp"
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

// `with manager: body()`: __exit__ sees the error when body raises (a C++ error as the Python
// error it becomes), and may suppress it.
template <class F>
void with_block(py::handle manager, F&& body) {
    const py::object exit = attr<"__exit__">(manager);
    call_method<"__enter__">(manager);
    const auto leave_with = [&](py::error_already_set& e) {
        // An error set from C has no traceback yet: __exit__ then gets None.
        const py::object type = e.type(), value = e.value();
        const py::object traceback = e.trace() ? e.trace() : py::none();
        // An error raised by __exit__ itself replaces the body's, as in Python.
        return truthy(call(exit, type, value, traceback));
    };
    try {
        std::forward<F>(body)();
    } catch (py::error_already_set& e) {
        if (!leave_with(e)) throw;
        return;
    } catch (...) {
        detail::raise_current_exception();
        py::error_already_set e;
        if (!leave_with(e)) throw e;
        return;
    }
    call(exit, nullptr, nullptr, nullptr);
}

}  // namespace vk
