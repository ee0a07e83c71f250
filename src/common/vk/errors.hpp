// Errors: the one translator from C++ exceptions to Python ones, and the handling of the errors a
// caller reports and goes on from.
#pragma once

#include "checks.hpp"

#include <stdexcept>
#include <string>

namespace vk {

namespace detail {

// Turns the C++ exception in flight into the matching Python exception.
inline void raise_current_exception() {
    try {
        throw;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

}  // namespace detail

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
