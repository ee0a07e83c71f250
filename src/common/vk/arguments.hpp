// Signatures and argument reading: the parameter list written beside each function
// ("x, key_padding_mask=None") is parsed once, binds vectorcall arguments to slots, doubles as
// __text_signature__, and gives compile-time named access to the bound arguments:
//
//     py::object forward(py::handle self, const vk::Args<"x, key_padding_mask=None">& a);
//
// A misspelt name does not compile; the typed readers check the argument and name it in their
// TypeError.
#pragma once

#include "checks.hpp"
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

}  // namespace detail

}  // namespace vk
