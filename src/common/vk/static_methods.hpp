// Static methods written in C++: define_static_methods<kF...>(m, cls) installs each Def as
// staticmethod(function), callable on the class and on its instances alike.
#pragma once

#include "functions.hpp"

#include <string>

namespace vk {

template <const auto&... Fs>
void define_static_methods(py::module_& m, py::handle cls) {
    const std::string class_name = py::str(attr<"__qualname__">(cls));
    const py::object module_name = attr<"__name__">(m);
    (
        [&] {
            PyMethodDef* def = detail::Binding<Fs>::prepare(class_name + "." + Fs.name, false);
            // Bound to the module, like a module-level function, so that inspect drops the
            // leading "$module" of the text signature; the implementation ignores `self`.
            const py::object fn = py::reinterpret_steal<py::object>(PyCFunction_NewEx(def, m.ptr(), module_name.ptr()));
            if (!fn) throw py::error_already_set();
            const py::object wrapped = py::reinterpret_steal<py::object>(PyStaticMethod_New(fn.ptr()));
            if (!wrapped) throw py::error_already_set();
            py::setattr(cls, Fs.name, wrapped);
        }(),
        ...);
}

}  // namespace vk
