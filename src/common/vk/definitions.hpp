// Definitions and installation: Python-visible functions, methods and static methods written in C++.
//
// A function is described once, with the parameter list users see, and reads its arguments by
// name:
//
//     py::object forward(py::handle self, const vk::Args<"x, key_padding_mask=None">& a);
//     constexpr vk::Def kForward{"forward", forward, "doc"};
//
// and installed with vk::define_functions<...>(module) or as a method by vk::define_class.
// Calls arrive through METH_FASTCALL, arguments are bound to the parameter list in C++, and the
// list doubles as __text_signature__, so help() and inspect.signature() show the real signature.
#pragma once

#include "arguments.hpp"
#include "errors.hpp"
#include "names.hpp"

#include <array>
#include <deque>
#include <string>
#include <string_view>
#include <utility>

namespace vk {

template <class A>
using Impl = py::object (*)(py::handle self, const A& args);

// One Python-visible function or method: its name, implementation and docstring; the parameter
// list comes from the implementation's Args<"...">: vk::Def{"forward", forward, "doc"}.
template <class A>
struct Def {
    const char* name;
    const char* params;
    Impl<A> impl;
    const char* doc = "";

    constexpr Def(const char* name_, Impl<A> impl_, const char* doc_ = "") : name(name_), params(A::params), impl(impl_), doc(doc_) {}
};

namespace detail {

template <class D>
struct BoundArgs;
template <class A>
struct BoundArgs<Def<A>> {
    using type = A;
};

// How a Def is installed: as a method of a class (self first), as a static method of a class,
// or as a module-level function.
enum class Kind { method, static_method, function };

// Classes one Def may be installed on as a method (each gets its own entry point).
inline constexpr std::size_t kMaxClassesPerDef = 8;

// Per-Def storage: the parsed signatures and one PyMethodDef per installation, all kept for the
// rest of the process (CPython points at them). Each call learns the class it was installed on
// and names that class in its errors, even when several classes share the Def.
template <const auto& D>
struct Binding {
    using Bound = typename BoundArgs<std::remove_cvref_t<decltype(D)>>::type;

    static const Signature& signature(bool bound) {
        static const Signature method_signature(D.params, true);
        static const Signature function_signature(D.params, false);
        return bound ? method_signature : function_signature;
    }

    static PyObject* invoke(PyObject* self, PyTypeObject* cls, bool bound, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        std::array<PyObject*, kMaxParams> slots;
        try {
            const Signature& sig = signature(bound);
            if (!sig.bind(args, nargs, kwnames, slots.data(), cls, D.name)) return nullptr;
            return D.impl(self, Bound(slots.data(), sig.size())).release().ptr();
        } catch (...) {
            raise_current_exception();
            return nullptr;
        }
    }

    static PyObject* call_function(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
        return invoke(module, nullptr, false, args, PyVectorcall_NARGS(nargsf), kwnames);
    }
    // Methods are plain METH_FASTCALL descriptors: CPython 3.11 crashes on `descr.__get__(obj)` for
    // METH_METHOD ones. Each installation gets its own entry point instead, which knows its class.
    static inline std::array<PyTypeObject*, kMaxClassesPerDef> classes{};
    static inline std::size_t installations = 0;

    template <std::size_t I>
    static PyObject* call_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
        return invoke(self, classes[I], true, args, PyVectorcall_NARGS(nargsf), kwnames);
    }
    template <std::size_t... I>
    static PyCFunction method_entry(std::size_t i, std::index_sequence<I...>) {
        static constexpr std::array<PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*), sizeof...(I)> entries{
            &call_method<I>...};
        return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entries[i]));
    }
    // A static method is a plain builtin function bound to its class, which each call hands on for
    // error messages. (Bound with METH_METHOD instead, CPython 3.11 hides its __doc__.)
    static PyObject* call_static(PyObject* cls, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
        return invoke(cls, reinterpret_cast<PyTypeObject*>(cls), false, args, PyVectorcall_NARGS(nargsf), kwnames);
    }

    // A PyMethodDef for one installation. An undocumented initializer takes `fallback_doc` (its
    // class's docstring), so that help() does not show the base class's initializer text instead.
    static PyMethodDef* prepare(Kind kind, const std::string& fallback_doc = "", PyTypeObject* cls = nullptr) {
        static std::deque<PyMethodDef> defs;
        static std::deque<std::string> docs;
        const bool bound = kind == Kind::method;
        const bool undocumented_init = D.doc[0] == '\0' && std::string_view(D.name) == "__init__";
        docs.push_back(std::string(D.name) + signature(bound).text_signature() + "\n--\n\n" + (undocumented_init ? fallback_doc : D.doc));
        PyCFunction fn = nullptr;
        int flags = METH_FASTCALL | METH_KEYWORDS;
        if (kind == Kind::function) {
            fn = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call_function));
        } else if (kind == Kind::method) {
            if (installations == kMaxClassesPerDef) throw std::logic_error(std::string(D.name) + " is installed on too many classes");
            Py_XINCREF(cls);  // kept for the rest of the process, like the PyMethodDef
            classes[installations] = cls;
            fn = method_entry(installations++, std::make_index_sequence<kMaxClassesPerDef>{});
        } else {
            fn = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call_static));
        }
        defs.push_back(PyMethodDef{D.name, fn, flags, docs.back().c_str()});
        return &defs.back();
    }
};

}  // namespace detail

template <const auto&... Fs>
void define_functions(py::module_& m) {
    const py::object module_name = attr<"__name__">(m);
    (
        [&] {
            PyMethodDef* def = detail::Binding<Fs>::prepare(detail::Kind::function);
            PyObject* fn = PyCFunction_NewEx(def, m.ptr(), module_name.ptr());
            if (fn == nullptr) throw py::error_already_set();
            m.attr(Fs.name) = py::reinterpret_steal<py::object>(fn);
        }(),
        ...);
}

// Adds methods to an existing class as method descriptors (the same kind builtin types use).
template <const auto&... Ms>
void define_methods(py::handle cls) {
    const py::object class_doc = attr<"__doc__">(cls);
    const std::string fallback_doc = class_doc.is_none() ? "" : utf8(class_doc);
    (
        [&] {
            PyMethodDef* def = detail::Binding<Ms>::prepare(detail::Kind::method, fallback_doc, reinterpret_cast<PyTypeObject*>(cls.ptr()));
            PyObject* descr = PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), def);
            if (descr == nullptr) throw py::error_already_set();
            py::setattr(cls, Ms.name, py::reinterpret_steal<py::object>(descr));
        }(),
        ...);
}

// Adds read-only properties computed by methods of no arguments: define_properties<kNumClasses>(cls).
template <const auto&... Ps>
void define_properties(py::handle cls) {
    (
        [&] {
            PyMethodDef* def = detail::Binding<Ps>::prepare(detail::Kind::method, "", reinterpret_cast<PyTypeObject*>(cls.ptr()));
            py::object getter = py::reinterpret_steal<py::object>(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), def));
            if (!getter) throw py::error_already_set();
            py::object prop =
                py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyProperty_Type))(getter, py::none(), py::none(), Ps.doc);
            py::setattr(cls, Ps.name, prop);
        }(),
        ...);
}

// A Python class deriving from `base` (nn.Module, Dataset, object, ...) whose methods are Defs.
// The initializer is a Def named "__init__"; it is stored as a method descriptor, which CPython's
// type slots call like any __init__.
template <const auto&... Ms>
py::object define_class(py::module_& m, const char* name, py::handle base, const char* doc) {
    py::dict ns;
    ns["__module__"] = attr<"__name__">(m);
    ns["__qualname__"] = name;
    ns["__doc__"] = doc;
    py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    py::object cls = type(name, py::make_tuple(base), ns);
    define_methods<Ms...>(cls);
    m.attr(name) = cls;
    return cls;
}

// Static methods: define_static_methods<kF...>(m, cls) installs each Def as staticmethod(function),
// callable on the class and on its instances alike.
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
