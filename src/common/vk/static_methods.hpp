// Static methods written in C++: define_static_methods<kF...>(m, cls) installs each Def as
// staticmethod(function), callable on the class and on its instances alike.
#pragma once

#include "functions.hpp"

namespace vk {

template <const auto&... Fs>
void define_static_methods(py::module_& m, py::handle cls) {
    const py::object module_name = attr<"__name__">(m);
    (
        [&] {
            PyMethodDef* def = detail::Binding<Fs>::prepare(detail::Kind::static_method);
            // Bound to the class, so that inspect drops the leading "$module" of the text signature
            // and the name reads Class.method; the implementation ignores `self`.
            const py::object fn = py::reinterpret_steal<py::object>(PyCFunction_NewEx(def, cls.ptr(), module_name.ptr()));
            if (!fn) throw py::error_already_set();
            const py::object wrapped = py::reinterpret_steal<py::object>(PyStaticMethod_New(fn.ptr()));
            if (!wrapped) throw py::error_already_set();
            py::setattr(cls, Fs.name, wrapped);
        }(),
        ...);
}

}  // namespace vk
