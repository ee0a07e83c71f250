// Configuration lookups with the semantics of Python's dictionaries, keys interned once per
// literal:
//
//     vk::item<"lr">(config)                      config["lr"]: a missing key raises KeyError('lr')
//     vk::get<"warmup">(config, fallback)         config.get("warmup", fallback)
//
// Exact dictionaries take the C fast path; any other mapping goes through its own
// __getitem__ / get, so a user's mapping type behaves as it would in Python.
#pragma once

#include "call.hpp"

namespace vk {

template <Lit K>
py::object item(py::handle mapping) {
    PyObject* r = PyObject_GetItem(mapping.ptr(), name<K>().ptr());
    if (r == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

template <Lit K>
py::object get(py::handle mapping, py::handle fallback) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* r = PyDict_GetItemWithError(mapping.ptr(), name<K>().ptr());
        if (r != nullptr) return py::reinterpret_borrow<py::object>(r);
        if (PyErr_Occurred()) throw py::error_already_set();
        return py::reinterpret_borrow<py::object>(fallback);
    }
    return call_method<"get">(mapping, name<K>(), fallback);
}

}  // namespace vk
