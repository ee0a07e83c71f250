// Tensor values on native memory: read a small tensor once on the host, or fill a host buffer
// from C++ and hand it to tensor operations. Per-element loops (decoding bookkeeping, record
// building) then cost one copy per step instead of one `.item()` per element.
#pragma once

#include "call.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

namespace vk {

namespace detail {

// itemsize 0 accepts any item size.
inline Py_buffer acquire_buffer(py::object& array, int flags, std::size_t itemsize) {
    Py_buffer view{};
    if (PyObject_GetBuffer(array.ptr(), &view, flags) != 0) {
        // A strided array (from a strided tensor): take a packed copy and try once more.
        PyErr_Clear();
        array = call(imported<"numpy", "ascontiguousarray">(), array);
        if (PyObject_GetBuffer(array.ptr(), &view, flags) != 0) throw py::error_already_set();
    }
    if (itemsize != 0 && static_cast<std::size_t>(view.itemsize) != itemsize) {
        PyBuffer_Release(&view);
        throw std::runtime_error("host buffer has items of " + std::to_string(view.itemsize) + " bytes, expected " +
                                 std::to_string(itemsize));
    }
    return view;
}

}  // namespace detail

// The values of a tensor on the host, read as doubles through the buffer protocol of
// `tensor.numpy(force=True)` (detached, on the CPU; for a CPU tensor no copy is made). Tensors
// of other dtypes than float32, float64, int64 and int32 are first converted to float64, which
// holds every float16/bfloat16 value and every integer below 2**53 exactly.
class HostValues {
public:
    explicit HostValues(py::handle tensor) {
        const py::handle dtype = attr<"dtype">(tensor);
        const bool direct = dtype.is(imported<"torch", "float32">()) || dtype.is(imported<"torch", "float64">()) ||
                            dtype.is(imported<"torch", "int64">()) || dtype.is(imported<"torch", "int32">());
        // numpy(force=True) of a CPU tensor of a direct dtype is a view: later writes to the
        // tensor show through it.
        in_place_ = direct && display(attr<"type">(attr<"device">(tensor))) == "cpu";
        array_ = call_method<"numpy">(
            direct ? py::reinterpret_borrow<py::object>(tensor) : call_method<"to">(tensor, imported<"torch", "float64">()),
            kw<"force">(true));
        view_ = detail::acquire_buffer(array_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT, 0);
        const char f = view_.format == nullptr ? 'B' : view_.format[std::strspn(view_.format, "@=<>!")];
        if (f == 'd' && view_.itemsize == 8) {
            kind_ = Kind::f64;
        } else if (f == 'f' && view_.itemsize == 4) {
            kind_ = Kind::f32;
        } else if (std::strchr("ilq", f) != nullptr && view_.itemsize == 8) {
            kind_ = Kind::i64;
        } else if (std::strchr("il", f) != nullptr && view_.itemsize == 4) {
            kind_ = Kind::i32;
        } else {
            PyBuffer_Release(&view_);
            throw std::runtime_error(std::string("unexpected host buffer format ") + (view_.format ? view_.format : "?"));
        }
        size_ = view_.itemsize > 0 ? static_cast<std::size_t>(view_.len / view_.itemsize) : 0;
    }
    ~HostValues() { PyBuffer_Release(&view_); }
    HostValues(const HostValues&) = delete;
    HostValues& operator=(const HostValues&) = delete;

    // Item i; an index past the end raises IndexError instead of reading past the buffer.
    double operator[](std::size_t i) const {
        check(i);
        switch (kind_) {
            case Kind::f64:
                return static_cast<const double*>(view_.buf)[i];
            case Kind::f32:
                return static_cast<const float*>(view_.buf)[i];
            case Kind::i64:
                return static_cast<double>(static_cast<const std::int64_t*>(view_.buf)[i]);
            case Kind::i32:
                return static_cast<const std::int32_t*>(view_.buf)[i];
        }
        return 0.0;
    }
    // Integer items read without a round trip through double.
    std::int64_t integer(std::size_t i) const {
        check(i);
        if (kind_ == Kind::i64) return static_cast<const std::int64_t*>(view_.buf)[i];
        const double v = (*this)[i];
        // A float outside the 64-bit range (or NaN) has no integer value: refuse it rather than
        // convert it with undefined behaviour.
        if (!(v >= -9.2233720368547758e18 && v < 9.2233720368547758e18))
            throw py::value_error("expected an integer value, got " + std::to_string(v));
        return static_cast<std::int64_t>(v);
    }
    std::size_t size() const { return size_; }
    // Raises ValueError unless at least n values are held; `what` names them in the message.
    void require(std::size_t n, const std::string& what) const {
        if (size_ < n) throw py::value_error(what + " holds " + std::to_string(size_) + " values, expected at least " + std::to_string(n));
    }
    // True when the values are read from the tensor's own memory rather than from a copy.
    bool in_place() const { return in_place_; }

private:
    void check(std::size_t i) const {
        if (i >= size_)
            throw py::index_error("host buffer index " + std::to_string(i) + " out of range for " + std::to_string(size_) + " values");
    }

    enum class Kind { f64, f32, i64, i32 };
    py::object array_;
    Py_buffer view_{};
    Kind kind_ = Kind::f64;
    std::size_t size_ = 0;
    bool in_place_ = false;
};

// A host buffer written from C++ and used by tensor operations on `device`. On the CPU the
// buffer's own tensor is used directly (operations consume it before it is written again);
// elsewhere `upload()` copies it into a device tensor kept for the buffer's lifetime, so views
// taken once from `target()` stay valid.
template <class T>
class Staging {
public:
    Staging(py::handle shape, py::handle dtype, py::handle device, bool on_cpu)
        : host_(call(imported<"torch", "empty">(), shape, kw<"dtype">(dtype))), on_cpu_(on_cpu) {
        array_ = call_method<"numpy">(host_);
        view_ = detail::acquire_buffer(array_, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE, sizeof(T));
        size_ = static_cast<std::size_t>(view_.len) / sizeof(T);
        target_ = on_cpu ? host_ : call(imported<"torch", "empty">(), shape, kw<"dtype">(dtype), kw<"device">(device));
    }
    ~Staging() { PyBuffer_Release(&view_); }
    Staging(const Staging&) = delete;
    Staging& operator=(const Staging&) = delete;

    T* data() { return static_cast<T*>(view_.buf); }
    std::size_t size() const { return size_; }
    // Item i; an index past the end raises IndexError instead of writing past the buffer.
    T& operator[](std::size_t i) {
        if (i >= size_)
            throw py::index_error("staging buffer index " + std::to_string(i) + " out of range for " + std::to_string(size_) + " values");
        return data()[i];
    }

    // The tensor that operations on the device read.
    const py::object& target() const { return target_; }

    // Makes target() hold the buffer's current contents.
    const py::object& upload() {
        if (!on_cpu_) call_method<"copy_">(target_, host_);
        return target_;
    }

private:
    py::object host_;
    py::object array_;
    py::object target_;
    Py_buffer view_{};
    std::size_t size_ = 0;
    bool on_cpu_;
};

}  // namespace vk
