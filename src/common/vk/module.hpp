// torch.nn.Module subclasses defined in C++.
#pragma once

#include "call.hpp"
#include "functions.hpp"

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

}  // namespace vk
