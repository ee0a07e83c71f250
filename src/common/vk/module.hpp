// torch.nn.Module subclasses defined in C++.
#pragma once

#include "call.hpp"
#include "definitions.hpp"

namespace vk {

// nn.Module.__init__(self): every module initializer runs it before assigning submodules.
inline void init_module(py::handle self) {
    static PyObject* const base_init = keep(attr<"__init__">(nn_module()));
    call(base_init, self);
}

// class Name(nn.Module) with the given methods (one of them the "__init__" Def).
template <const auto&... Ms>
py::object define_module_class(py::module_& m, const char* name, const char* doc) {
    return define_class<Ms...>(m, name, nn_module(), doc);
}

// Fast reads of an nn.Module's registered submodules, parameters and buffers.
//
// `self.norm` on an nn.Module misses both the class and the instance dict, so Python raises and
// clears an AttributeError and then runs Module.__getattr__ in Python (about a microsecond per
// read, several per forward). module_attr<"norm">(self) looks where Python would, in the same
// order: the instance dict, then the registration dicts in Module.__getattr__'s order
// (_parameters, _buffers, _modules), and so returns the same object. A name the class defines
// (a property, a method), or one found nowhere, takes the ordinary getattr path, errors included.

namespace detail {

// Borrowed value of key in the dict d[registry], or null; errors propagate as exceptions.
inline PyObject* registered(PyObject* instance_dict, py::handle registry, py::handle key) {
    PyObject* table = PyDict_GetItemWithError(instance_dict, registry.ptr());
    if (table == nullptr || !PyDict_Check(table)) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return nullptr;
    }
    PyObject* value = PyDict_GetItemWithError(table, key.ptr());
    if (value == nullptr && PyErr_Occurred()) throw py::error_already_set();
    return value;
}

}  // namespace detail

template <Lit S>
py::object module_attr(py::handle self) {
    const py::handle key = name<S>();
    if (_PyType_Lookup(Py_TYPE(self.ptr()), key.ptr()) == nullptr) {
        PyObject* dict = PyObject_GenericGetDict(self.ptr(), nullptr);
        if (dict == nullptr) throw py::error_already_set();
        const py::object instance_dict = py::reinterpret_steal<py::object>(dict);
        PyObject* value = PyDict_GetItemWithError(dict, key.ptr());
        if (value == nullptr) {
            if (PyErr_Occurred()) throw py::error_already_set();
            for (const py::handle registry : {name<"_parameters">(), name<"_buffers">(), name<"_modules">()}) {
                value = detail::registered(dict, registry, key);
                if (value != nullptr) break;
            }
        }
        if (value != nullptr) return py::reinterpret_borrow<py::object>(value);
    }
    return attr<S>(self);
}

// Calls a registered submodule: call_module_attr<"norm">(self, x) is self.norm(x).
template <Lit S, class... A>
py::object call_module_attr(py::handle self, A&&... args) {
    return call(module_attr<S>(self), std::forward<A>(args)...);
}

}  // namespace vk
