// Calling Python from C++ through vectorcall, with keyword names interned once per call site:
//
//     vk::call(mha, vk::kw<"query">(q), vk::kw<"need_weights">(true));
//     vk::call_method<"transpose">(x, 1, 2);
//
// Arguments may be Python objects or plain C++ values (converted with pybind11's casters).
#pragma once

#include "names.hpp"

#include <array>
#include <type_traits>
#include <utility>
#include <vector>

namespace vk {

template <Lit K, class T>
struct Kw {
    T value;
};

// A keyword argument: kw<"dim">(1).
template <Lit K, class T>
Kw<K, std::decay_t<T>> kw(T&& value) {
    return {std::forward<T>(value)};
}

namespace detail {

template <class T>
struct KwTraits : std::false_type {};
template <Lit K, class T>
struct KwTraits<Kw<K, T>> : std::true_type {
    static py::handle key() { return name<K>(); }
};

template <class T>
py::object to_object(T&& v) {
    using D = std::decay_t<T>;
    if constexpr (KwTraits<D>::value) {
        return to_object(std::forward<T>(v).value);
    } else if constexpr (std::is_base_of_v<py::handle, D>) {
        return py::reinterpret_borrow<py::object>(v);
    } else if constexpr (std::is_same_v<D, std::nullptr_t>) {
        return py::none();
    } else {
        return py::cast(std::forward<T>(v));
    }
}

// The keyword-name tuple of one argument list, built once per distinct list.
template <class... A>
PyObject* kwnames() {
    static PyObject* const names = []() -> PyObject* {
        std::vector<py::handle> keys;
        (
            [&] {
                if constexpr (KwTraits<A>::value) keys.push_back(KwTraits<A>::key());
            }(),
            ...);
        if (keys.empty()) return nullptr;
        py::tuple t(keys.size());
        for (std::size_t i = 0; i < keys.size(); ++i) t[i] = keys[i];
        return keep(std::move(t));
    }();
    return names;
}

template <class... A>
constexpr bool keywords_last() {
    constexpr bool is_kw[] = {false, KwTraits<A>::value...};
    for (std::size_t i = 1; i + 1 < sizeof...(A) + 1; ++i)
        if (is_kw[i] && !is_kw[i + 1]) return false;
    return true;
}

template <class... A>
constexpr std::size_t keyword_count() {
    return (std::size_t{0} + ... + (KwTraits<A>::value ? 1 : 0));
}

inline py::object steal_or_throw(PyObject* r) {
    if (r == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

}  // namespace detail

template <class... A>
py::object call(py::handle fn, A&&... args) {
    static_assert(detail::keywords_last<std::decay_t<A>...>(), "keyword arguments must come last");
    constexpr std::size_t n = sizeof...(A);
    constexpr std::size_t npos = n - detail::keyword_count<std::decay_t<A>...>();
    const std::array<py::object, n> held{detail::to_object(std::forward<A>(args))...};
    // Slot 0 is scratch space the callee may use to prepend `self` (PY_VECTORCALL_ARGUMENTS_OFFSET).
    PyObject* argv[n + 1];
    argv[0] = nullptr;
    for (std::size_t i = 0; i < n; ++i) argv[i + 1] = held[i].ptr();
    return detail::steal_or_throw(
        PyObject_Vectorcall(fn.ptr(), argv + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, detail::kwnames<std::decay_t<A>...>()));
}

template <Lit Method, class... A>
py::object call_method(py::handle self, A&&... args) {
    static_assert(detail::keywords_last<std::decay_t<A>...>(), "keyword arguments must come last");
    constexpr std::size_t n = sizeof...(A);
    constexpr std::size_t npos = n - detail::keyword_count<std::decay_t<A>...>();
    const std::array<py::object, n> held{detail::to_object(std::forward<A>(args))...};
    PyObject* argv[n + 2];
    argv[0] = nullptr;
    argv[1] = self.ptr();
    for (std::size_t i = 0; i < n; ++i) argv[i + 2] = held[i].ptr();
    return detail::steal_or_throw(PyObject_VectorcallMethod(name<Method>().ptr(), argv + 1, (npos + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                            detail::kwnames<std::decay_t<A>...>()));
}

// Calls obj.<Attr>(...) where Attr is an attribute that is not a method of the type, such as a
// submodule reached through nn.Module.__getattr__: self.norm(x) is call_attr<"norm">(self, x).
template <Lit Attr, class... A>
py::object call_attr(py::handle obj, A&&... args) {
    return call(attr<Attr>(obj), std::forward<A>(args)...);
}

// a + b, as the + operator.
inline py::object add(py::handle a, py::handle b) { return detail::steal_or_throw(PyNumber_Add(a.ptr(), b.ptr())); }

// Unpacks a sequence of exactly N items, as `a, b = seq` does (with the same ValueError).
template <std::size_t N>
std::array<py::object, N> unpack(py::handle seq) {
    std::array<py::object, N> out;
    if (PyTuple_CheckExact(seq.ptr()) && PyTuple_GET_SIZE(seq.ptr()) == static_cast<Py_ssize_t>(N)) {
        for (std::size_t i = 0; i < N; ++i) out[i] = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(seq.ptr(), i));
        return out;
    }
    const py::tuple items(py::reinterpret_borrow<py::object>(seq));
    const std::size_t n = items.size();
    if (n != N)
        throw py::value_error(n > N ? "too many values to unpack (expected " + std::to_string(N) + ")"
                                    : "not enough values to unpack (expected " + std::to_string(N) + ", got " + std::to_string(n) + ")");
    for (std::size_t i = 0; i < N; ++i) out[i] = items[i];
    return out;
}

}  // namespace vk
