// Python-visible functions and methods written in C++.
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

#include "args.hpp"
#include "names.hpp"

#include <array>
#include <cstdlib>
#include <deque>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vk {

namespace detail {

// Position of `name` in a parameter list written as in Python ("x, y=None, *, flag=False"),
// computed at compile time: a misspelt name does not compile.
// Written with plain character loops: GCC's sanitizer builds cannot evaluate string_view::find
// in a constant expression.
consteval std::size_t param_index(const char* params, const char* name) {
    std::size_t index = 0;
    std::size_t i = 0;
    while (params[i] != '\0') {
        std::size_t end = i;  // one item: params[i, end), up to the next comma
        while (params[end] != '\0' && params[end] != ',') ++end;
        std::size_t first = i, last = i;  // the name: up to '=', without surrounding spaces
        while (last < end && params[last] != '=') ++last;
        while (first < last && params[first] == ' ') ++first;
        while (last > first && params[last - 1] == ' ') --last;
        i = params[end] == ',' ? end + 1 : end;
        if (last == first || (last - first == 1 && params[first] == '*')) continue;
        std::size_t k = 0;
        while (first + k < last && name[k] != '\0' && params[first + k] == name[k]) ++k;
        if (first + k == last && name[k] == '\0') return index;
        ++index;
    }
    throw "no parameter of this name in the parameter list";
}

}  // namespace detail

// Bound arguments of a function whose Python parameter list is P, read by name:
//
//     using InitArgs = vk::Args<"d_model, num_heads, dropout=0.0">;
//     py::object init(py::handle self, const InitArgs& a) { const long long d = a.integer<"d_model">(); ... }
//     constexpr vk::Def kInit{"__init__", init};
//
// The typed readers check the argument and name it in their TypeError.
template <Lit P>
class Args {
public:
    static constexpr const char* params = P.text;

    Args(PyObject* const* slots, std::size_t) : slots_(slots) {}

    template <Lit N>
    py::handle get() const {
        constexpr std::size_t i = detail::param_index(P.text, N.text);
        return slots_[i];
    }
    template <Lit N>
    bool is_none() const {
        return get<N>().ptr() == Py_None;
    }
    template <Lit N>
    long long integer() const {
        return exact_int(get<N>(), N.text);
    }
    template <Lit N>
    double real() const {
        return to_real(get<N>(), N.text);
    }
    template <Lit N>
    std::string text() const {
        return exact_str(get<N>(), N.text);
    }
    template <Lit N>
    py::dict dict() const {
        return exact_dict(get<N>(), N.text);
    }
    template <Lit N>
    bool flag() const {
        return truthy(get<N>());
    }

private:
    PyObject* const* slots_;
};

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

inline constexpr std::size_t kMaxParams = 32;

namespace detail {

inline std::string_view trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

// Default values are literals: None, True, False, integers, floats and quoted strings.
inline py::object parse_literal(std::string_view s) {
    if (s == "None") return py::none();
    if (s == "True") return py::bool_(true);
    if (s == "False") return py::bool_(false);
    if (s.size() >= 2 && (s.front() == '\'' || s.front() == '"') && s.back() == s.front())
        return py::str(std::string(s.substr(1, s.size() - 2)));
    const std::string text(s);
    char* end = nullptr;
    if (text.find_first_of(".eE") == std::string::npos && text.find("inf") == std::string::npos) {
        const long long v = std::strtoll(text.c_str(), &end, 10);
        if (end != nullptr && *end == '\0') return py::int_(v);
    } else {
        const double v = std::strtod(text.c_str(), &end);
        if (end != nullptr && *end == '\0') return py::float_(v);
    }
    throw std::invalid_argument("unsupported default literal: " + text);
}

// Parameter names and defaults are owned for the life of the process (see keep()).
struct Param {
    PyObject* name = nullptr;
    PyObject* default_value = nullptr;  // null when required
    bool keyword_only = false;
};
// The name an error message gives a callable: "Class.method" for a method (named after the
// class it is called through, so a Def shared by several classes names the right one), the
// plain name for a module-level function.
inline std::string qualified_name(PyTypeObject* cls, const char* name) {
    if (cls == nullptr) return name;
    const py::object qualname = py::reinterpret_steal<py::object>(PyType_GetQualName(cls));
    if (!qualname) throw py::error_already_set();
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(qualname.ptr(), &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return std::string(cls->tp_name) + "." + name;
    }
    return std::string(utf8, static_cast<std::size_t>(size)) + "." + name;
}

// The parsed parameter list of one function; binds vectorcall arguments to slots.
class Signature {
public:
    Signature(std::string_view params, bool bound) : bound_(bound) {
        bool keyword_only = false;
        while (!params.empty()) {
            const std::size_t comma = params.find(',');
            const std::string_view item = trim(params.substr(0, comma));
            params = comma == std::string_view::npos ? std::string_view{} : params.substr(comma + 1);
            if (item.empty()) continue;
            if (item == "*") {
                keyword_only = true;
                continue;
            }
            const std::size_t eq = item.find('=');
            Param p;
            p.name = PyUnicode_InternFromString(std::string(trim(item.substr(0, eq))).c_str());
            if (p.name == nullptr) throw py::error_already_set();
            if (eq != std::string_view::npos) p.default_value = keep(parse_literal(trim(item.substr(eq + 1))));
            p.keyword_only = keyword_only;
            if (!keyword_only) ++positional_;
            params_.push_back(std::move(p));
        }
        if (params_.size() > kMaxParams) throw std::invalid_argument("too many parameters");
    }

    std::size_t size() const { return params_.size(); }

    // Fills slots[0..size()) with borrowed references; on failure sets a TypeError naming
    // cls.name (or name alone for a function) and returns false.
    bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots, PyTypeObject* cls, const char* name) const {
        const std::size_t n = params_.size();
        if (static_cast<std::size_t>(nargs) > positional_) return too_many(nargs, qualified_name(cls, name));
        for (std::size_t i = 0; i < n; ++i) slots[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;
        if (kwnames != nullptr) {
            const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
            for (Py_ssize_t k = 0; k < nkw; ++k) {
                PyObject* key = PyTuple_GET_ITEM(kwnames, k);
                const std::size_t i = find(key);
                if (i == n) return fail(qualified_name(cls, name) + "() got an unexpected keyword argument " + quoted(key));
                if (slots[i] != nullptr) return fail(qualified_name(cls, name) + "() got multiple values for argument " + quoted(key));
                slots[i] = args[nargs + k];
            }
        }
        std::vector<std::string> missing;
        for (std::size_t i = 0; i < n; ++i) {
            if (slots[i] != nullptr) continue;
            if (params_[i].default_value) {
                slots[i] = params_[i].default_value;
            } else {
                missing.push_back(quoted(params_[i].name));
            }
        }
        if (!missing.empty()) return missing_arguments(missing, qualified_name(cls, name));
        return true;
    }

    std::string text_signature() const {
        std::string s = bound_ ? "($self" : "($module";
        bool star = false;
        for (const Param& p : params_) {
            s += ", ";
            if (p.keyword_only && !star) {
                s += "*, ";
                star = true;
            }
            s += py::handle(p.name).cast<std::string>();
            if (p.default_value) s += "=" + py::repr(py::handle(p.default_value)).cast<std::string>();
        }
        return s + ")";
    }

private:
    std::size_t find(PyObject* key) const {
        for (std::size_t i = 0; i < params_.size(); ++i)
            if (params_[i].name == key) return i;
        for (std::size_t i = 0; i < params_.size(); ++i) {
            const int eq = PyUnicode_Check(key) ? PyUnicode_Compare(params_[i].name, key) : -1;
            if (eq == -1 && PyErr_Occurred()) PyErr_Clear();
            if (eq == 0) return i;
        }
        return params_.size();
    }

    // 'name' for a message; a name that is not valid UTF-8 (a lone surrogate) is shown escaped.
    static std::string quoted(PyObject* key) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
        if (utf8 != nullptr) return "'" + std::string(utf8, static_cast<std::size_t>(size)) + "'";
        PyErr_Clear();
        return py::repr(key).cast<std::string>();
    }

    static bool fail(const std::string& message) {
        PyErr_SetString(PyExc_TypeError, message.c_str());
        return false;
    }

    bool too_many(Py_ssize_t given, const std::string& qualname) const {
        const std::size_t self = bound_ ? 1 : 0;
        std::size_t required = 0;
        for (std::size_t i = 0; i < positional_; ++i)
            if (!params_[i].default_value) ++required;
        const std::string takes = required == positional_
                                      ? std::to_string(positional_ + self)
                                      : "from " + std::to_string(required + self) + " to " + std::to_string(positional_ + self);
        const std::size_t total = static_cast<std::size_t>(given) + self;
        return fail(qualname + "() takes " + takes + " positional argument" + (positional_ + self == 1 ? "" : "s") + " but " +
                    std::to_string(total) + (total == 1 ? " was" : " were") + " given");
    }

    static bool missing_arguments(const std::vector<std::string>& names, const std::string& qualname) {
        std::string list;
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (i > 0) list += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
            list += names[i];
        }
        return fail(qualname + "() missing " + std::to_string(names.size()) + " required argument" + (names.size() == 1 ? "" : "s") + ": " +
                    list);
    }

    bool bound_;
    std::size_t positional_ = 0;
    std::vector<Param> params_;
};

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

}  // namespace vk
