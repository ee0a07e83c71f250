// Reading ".npy" files from C++ without executing anything stored in them.
//
//   vkdomain::npy::read_rows(path, max_rows)  the array of a numeric file, cut to its first max_rows
//                                       rows (only those bytes are read)
//   vkdomain::npy::read_joined_text(path)     the concatenation of a 1-D array of strings
//
// Plain files (native byte order, C order, a header numpy itself writes) are read straight into
// a freshly allocated array, which is several times faster than numpy.load for the small files
// of a speech corpus. Anything unusual is handed to numpy.load(allow_pickle=False), so its errors
// are numpy's own. Arrays of Python strings are pickled by numpy; those go through an unpickler
// that can rebuild nothing but numpy arrays, so a crafted file cannot run code.
#pragma once

#include <vk/common.hpp>

#include <pybind11/numpy.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vkdomain::npy {

using namespace vk;

namespace detail {

inline constexpr char kMagic[] = "\x93NUMPY";
inline constexpr std::size_t kMagicSize = 6;

// A file descriptor closed on scope exit; opening failures raise the OSError subclass that
// Python's open() raises (FileNotFoundError, PermissionError, ...), with the same message.
// Only regular files are read: a FIFO is opened without blocking and refused like a folder or a
// device, so a dataset never waits forever on a file named like an array.
class File {
public:
    explicit File(py::handle path) {
        const py::object encoded = py::reinterpret_steal<py::object>(PyUnicode_EncodeFSDefault(path.ptr()));
        if (!encoded) throw py::error_already_set();
        if (std::strlen(PyBytes_AS_STRING(encoded.ptr())) != static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr())))
            throw py::value_error("Refusing to load " + display_repr(path) + ": the path contains a NUL character");
        fd_ = ::open(PyBytes_AS_STRING(encoded.ptr()), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) {
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
            throw py::error_already_set();
        }
        struct stat st{};
        if (::fstat(fd_, &st) != 0) {
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
            ::close(fd_);
            throw py::error_already_set();
        }
        if (!S_ISREG(st.st_mode)) {
            ::close(fd_);
            throw py::value_error("Refusing to load '" + display(path) +
                                  "': " + (S_ISDIR(st.st_mode) ? "it is a folder" : "it is not a regular file"));
        }
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File() { ::close(fd_); }

    // Reads up to n bytes at offset; returns how many were read (short only at end of file).
    std::size_t read_at(void* out, std::size_t n, std::size_t offset, py::handle path) const {
        std::size_t done = 0;
        auto* bytes = static_cast<char*>(out);
        while (done < n) {
            const ssize_t r = ::pread(fd_, bytes + done, n - done, static_cast<off_t>(offset + done));
            if (r < 0) {
                if (errno == EINTR) continue;
                PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
                throw py::error_already_set();
            }
            if (r == 0) break;
            done += static_cast<std::size_t>(r);
        }
        return done;
    }

    std::size_t size(py::handle path) const {
        struct stat st{};
        if (::fstat(fd_, &st) != 0) {
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
            throw py::error_already_set();
        }
        return static_cast<std::size_t>(st.st_size);
    }

private:
    int fd_ = -1;
};

struct Header {
    std::string descr;
    bool fortran_order = false;
    std::vector<Py_ssize_t> shape;
    std::size_t data_offset = 0;

    // Bytes of array data the header promises for elements of `itemsize` bytes, or nullopt when
    // that overflows: a crafted header must not wrap around to a small (or zero) size.
    std::optional<std::size_t> data_bytes(std::size_t itemsize) const {
        std::size_t n = itemsize;
        for (const Py_ssize_t d : shape)
            if (d < 0 || __builtin_mul_overflow(n, static_cast<std::size_t>(d), &n)) return std::nullopt;
        if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return std::nullopt;
        return n;
    }
};

// Parses the header dictionary numpy writes: {'descr': '<f4', 'fortran_order': False, 'shape': (80, 512), }.
// Anything else (structured dtypes, odd spellings) gives nullopt and the caller defers to numpy.
class HeaderParser {
public:
    explicit HeaderParser(std::string_view text) : s_(text) {}

    std::optional<Header> parse() {
        Header h;
        bool has_descr = false, has_order = false, has_shape = false;
        if (!eat('{')) return std::nullopt;
        while (true) {
            skip_space();
            if (eat('}')) break;
            std::string key;
            if (!string_literal(key) || !eat(':')) return std::nullopt;
            if (key == "descr") {
                if (!string_literal(h.descr)) return std::nullopt;
                has_descr = true;
            } else if (key == "fortran_order") {
                skip_space();
                if (s_.substr(i_, 4) == "True") {
                    h.fortran_order = true;
                    i_ += 4;
                } else if (s_.substr(i_, 5) == "False") {
                    i_ += 5;
                } else {
                    return std::nullopt;
                }
                has_order = true;
            } else if (key == "shape") {
                if (!shape(h.shape)) return std::nullopt;
                has_shape = true;
            } else {
                return std::nullopt;
            }
            skip_space();
            if (eat('}')) break;
            if (!eat(',')) return std::nullopt;
        }
        if (!(has_descr && has_order && has_shape)) return std::nullopt;
        return h;
    }

private:
    void skip_space() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\t')) ++i_;
    }
    bool eat(char c) {
        skip_space();
        if (i_ < s_.size() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    bool string_literal(std::string& out) {
        skip_space();
        if (i_ >= s_.size() || (s_[i_] != '\'' && s_[i_] != '"')) return false;
        const char quote = s_[i_++];
        const std::size_t end = s_.find(quote, i_);
        if (end == std::string_view::npos) return false;
        out.assign(s_.substr(i_, end - i_));
        if (out.find('\\') != std::string::npos) return false;
        i_ = end + 1;
        return true;
    }
    bool shape(std::vector<Py_ssize_t>& out) {
        if (!eat('(')) return false;
        while (true) {
            skip_space();
            if (eat(')')) return true;
            Py_ssize_t v = 0;
            std::size_t digits = 0;
            while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9' && digits < 15) {
                v = v * 10 + (s_[i_++] - '0');
                ++digits;
            }
            if (digits == 0 || (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9')) return false;
            out.push_back(v);
            if (eat(')')) return true;
            if (!eat(',')) return false;
        }
    }

    std::string_view s_;
    std::size_t i_ = 0;
};

// The header of an .npy file, or nullopt when the file is not one we read ourselves.
inline std::optional<Header> read_header(const File& file, py::handle path) {
    char lead[12];
    const std::size_t got = file.read_at(lead, sizeof lead, 0, path);
    if (got < 10 || std::memcmp(lead, kMagic, kMagicSize) != 0) return std::nullopt;
    const unsigned major = static_cast<unsigned char>(lead[6]);
    std::size_t header_size = 0, offset = 0;
    if (major == 1) {
        header_size = static_cast<unsigned char>(lead[8]) | (static_cast<std::size_t>(static_cast<unsigned char>(lead[9])) << 8);
        offset = 10;
    } else if (major == 2 && got == 12) {
        header_size = 0;
        for (int k = 3; k >= 0; --k) header_size = (header_size << 8) | static_cast<unsigned char>(lead[8 + k]);
        offset = 12;
    } else {
        return std::nullopt;  // version 3 (UTF-8 field names) and future versions
    }
    if (header_size > (1u << 20)) return std::nullopt;
    std::string text(header_size, '\0');
    if (file.read_at(text.data(), header_size, offset, path) != header_size) return std::nullopt;
    std::optional<Header> h = HeaderParser(text).parse();
    if (h) h->data_offset = offset + header_size;
    return h;
}

// numpy's dtype for a descr string, cached: a corpus uses one or two.
inline py::dtype dtype_of(const std::string& descr) {
    static std::unordered_map<std::string, PyObject*> cache;  // entries live for the process
    const auto it = cache.find(descr);
    if (it != cache.end()) return py::reinterpret_borrow<py::dtype>(it->second);
    py::dtype dt = py::dtype::from_args(py::str(descr));
    cache.emplace(descr, keep(dt));
    return dt;
}

inline bool is_native(const py::dtype& dt) { return truthy(attr<"isnative">(dt)) && !truthy(attr<"hasobject">(dt)); }

inline py::object numpy_load(py::handle path) { return call(imported<"numpy", "load">(), path, kw<"allow_pickle">(false)); }

// Pickled string arrays are rebuilt from inert stand-ins, never from numpy itself: numpy's
// constructors would let a crafted pickle make an object array over arbitrary memory. The
// unpickler resolves only the three globals numpy's array pickles name, each to a stand-in:
//   _reconstruct(ndarray, shape, typecode) -> an empty ArrayStandIn
//   ndarray                                -> a marker that refuses to be called
//   dtype("O8", False, True)               -> a DtypeStandIn (any other dtype is refused)
// and ArrayStandIn.__setstate__ accepts only (version, (n,), dtype, fortran, [n strs]).

inline py::object make_class(const char* name) {
    py::dict ns;
    ns["__module__"] = "vk.npy";
    ns["__qualname__"] = name;
    ns["__slots__"] = py::make_tuple("items");
    py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    return type(name, py::make_tuple(imported<"builtins", "object">()), ns);
}

template <const auto& D>
py::object make_function() {
    PyObject* fn = PyCFunction_NewEx(vk::detail::Binding<D>::prepare(vk::detail::Kind::function), nullptr, nullptr);
    if (fn == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(fn);
}

struct StandIns {
    PyObject* array_class;
    PyObject* dtype_class;
    PyObject* ndarray_marker;
    PyObject* reconstruct;
    PyObject* dtype;
    PyObject* unpickler;
};
const StandIns& stand_ins();

[[noreturn]] inline void refuse_pickle(const std::string& what) {
    throw py::value_error("expected a 1-D array of strings, but the pickled data " + what);
}

inline py::object ndarray_impl(py::handle, const Args<"shape, dtype=None, buffer=None, offset=0, strides=None, order=None">&) {
    refuse_pickle("calls numpy.ndarray directly");
}
inline constexpr Def kNdarray{"ndarray", ndarray_impl};

inline py::object reconstruct_impl(py::handle, const Args<"subtype, shape, typecode">& a) {
    if (!a.get<"subtype">().is(py::handle(stand_ins().ndarray_marker))) refuse_pickle("rebuilds an object of another class");
    return py::reinterpret_borrow<py::object>(stand_ins().array_class)();
}
inline constexpr Def kReconstruct{"_reconstruct", reconstruct_impl};

inline py::object dtype_impl(py::handle, const Args<"obj, align=False, copy=False">& a) {
    const py::handle obj = a.get<"obj">();
    if (!PyUnicode_CheckExact(obj.ptr()) || (display(obj) != "O8" && display(obj) != "O4"))
        refuse_pickle("holds dtype " + display_repr(obj));
    return py::reinterpret_borrow<py::object>(stand_ins().dtype_class)();
}
inline constexpr Def kDtype{"dtype", dtype_impl};

inline py::object array_setstate_impl(py::handle self, const Args<"state">& a) {
    const py::handle state = a.get<"state">();
    if (!PyTuple_CheckExact(state.ptr()) || PyTuple_GET_SIZE(state.ptr()) != 5) refuse_pickle("has a malformed array state");
    const py::handle shape = PyTuple_GET_ITEM(state.ptr(), 1);
    const py::handle dtype = PyTuple_GET_ITEM(state.ptr(), 2);
    const py::handle data = PyTuple_GET_ITEM(state.ptr(), 4);
    if (!PyTuple_CheckExact(shape.ptr()) || PyTuple_GET_SIZE(shape.ptr()) != 1)
        refuse_pickle("holds an array of " + std::to_string(PyTuple_Check(shape.ptr()) ? PyTuple_GET_SIZE(shape.ptr()) : -1) +
                      " dimensions");
    if (!py::type::handle_of(dtype).is(py::handle(stand_ins().dtype_class)) || !PyList_CheckExact(data.ptr()))
        refuse_pickle("has a malformed array state");
    const py::handle n = PyTuple_GET_ITEM(shape.ptr(), 0);
    const Py_ssize_t count = PyLong_CheckExact(n.ptr()) ? PyLong_AsSsize_t(n.ptr()) : -1;
    if (count == -1) PyErr_Clear();
    if (count != PyList_GET_SIZE(data.ptr())) refuse_pickle("has a shape that disagrees with its data");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(data.ptr()); ++i) {
        const py::handle item = PyList_GET_ITEM(data.ptr(), i);
        if (!PyUnicode_CheckExact(item.ptr())) refuse_pickle("holds an element of type " + type_name(item));
    }
    py::setattr(self, "items", data);
    return py::none();
}
inline constexpr Def kArraySetState{"__setstate__", array_setstate_impl};

inline py::object dtype_setstate_impl(py::handle, const Args<"state">&) { return py::none(); }
inline constexpr Def kDtypeSetState{"__setstate__", dtype_setstate_impl};

inline py::object find_class_impl(py::handle, const Args<"module, name">& a) {
    const std::string qualified = display(a.get<"module">()) + "." + display(a.get<"name">());
    const StandIns& s = stand_ins();
    PyObject* found = nullptr;
    if (qualified == "numpy._core.multiarray._reconstruct" || qualified == "numpy.core.multiarray._reconstruct") found = s.reconstruct;
    if (qualified == "numpy.ndarray") found = s.ndarray_marker;
    if (qualified == "numpy.dtype") found = s.dtype;
    if (found == nullptr) refuse_pickle("refers to " + qualified);
    return py::reinterpret_borrow<py::object>(found);
}
inline constexpr Def kFindClass{"find_class", find_class_impl};

inline const StandIns& stand_ins() {
    // Created once and kept for the process, like every cached handle.
    static const StandIns s = [] {
        py::object array_class = make_class("ArrayStandIn");
        define_methods<kArraySetState>(array_class);
        py::object dtype_class = make_class("DtypeStandIn");
        define_methods<kDtypeSetState>(dtype_class);
        py::dict ns;
        ns["__module__"] = "vk.npy";
        ns["__qualname__"] = "StringArrayUnpickler";
        py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
        py::object unpickler = type("StringArrayUnpickler", py::make_tuple(imported<"pickle", "Unpickler">()), ns);
        define_methods<kFindClass>(unpickler);
        return StandIns{keep(std::move(array_class)),        keep(std::move(dtype_class)),  keep(make_function<kNdarray>()),
                        keep(make_function<kReconstruct>()), keep(make_function<kDtype>()), keep(std::move(unpickler))};
    }();
    return s;
}

[[noreturn]] inline void refuse(py::handle path, const std::string& why) {
    throw py::value_error("Refusing to load '" + display(path) + "': " + why);
}

// Refuses a header whose array does not fit in the file: an overflowing element count, or more
// data than the file holds after the header.
inline std::size_t checked_data_bytes(const File& file, py::handle path, const Header& h, std::size_t itemsize) {
    const std::optional<std::size_t> bytes = h.data_bytes(itemsize);
    if (!bytes) refuse(path, "its header declares an array too large to address, shape " + vk::shape_text(h.shape));
    const std::size_t size = file.size(path);
    const std::size_t available = size > h.data_offset ? size - h.data_offset : 0;
    if (*bytes > available)
        refuse(path, "its header declares " + std::to_string(*bytes) + " bytes of data (shape " + vk::shape_text(h.shape) +
                         "), but the file holds " + std::to_string(available));
    return *bytes;
}

// An array in the machine's byte order: big-endian files are converted, others pass through.
inline py::array native_order(py::array array) {
    const py::object dt = attr<"dtype">(array);
    if (truthy(attr<"isnative">(dt)) || truthy(attr<"hasobject">(dt))) return array;
    return call_method<"astype">(array, call_method<"newbyteorder">(dt, "="));
}

// "".join(array.tolist()) for a 1-D array of str, checked element by element.
inline py::str join_string_array(py::handle path, py::handle array) {
    if (!py::isinstance(array, imported<"numpy", "ndarray">())) refuse(path, "expected a 1-D array of strings, got " + type_name(array));
    const py::object dt = attr<"dtype">(array);
    const std::string kind = display(attr<"kind">(dt));
    const long long ndim = py::cast<long long>(attr<"ndim">(array));
    if ((kind != "U" && kind != "O") || ndim != 1)
        refuse(path, "expected a 1-D array of strings, got a " + std::to_string(ndim) + "-D array of dtype " + display(dt));
    const py::list items = call_method<"tolist">(array);
    for (const py::handle item : items)
        if (!PyUnicode_CheckExact(item.ptr())) refuse(path, "expected a 1-D array of strings, found an element of type " + type_name(item));
    PyObject* text = PyUnicode_Join(py::str("").ptr(), items.ptr());
    if (text == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

}  // namespace detail

// The array in `path`, cut to its first `max_rows` rows along the first axis, in the dtype the
// file holds. When rows are cut, only the kept rows exist in memory.
inline py::array read_rows(py::handle path, Py_ssize_t max_rows) {
    {
        const detail::File file(path);
        const std::optional<detail::Header> h = detail::read_header(file, path);
        if (h) {
            const py::dtype dt = detail::dtype_of(h->descr);
            const bool plain = !truthy(attr<"hasobject">(dt)) && dt.itemsize() > 0;
            // A header promising more than the file holds (or an overflowing count) is refused
            // before anything is allocated.
            if (plain) detail::checked_data_bytes(file, path, *h, static_cast<std::size_t>(dt.itemsize()));
            if (plain && !h->fortran_order && !h->shape.empty()) {
                std::vector<Py_ssize_t> shape = h->shape;
                shape[0] = std::min(shape[0], max_rows);
                py::array out(dt, shape);
                const auto bytes = static_cast<std::size_t>(out.nbytes());
                if (file.read_at(out.mutable_data(), bytes, h->data_offset, path) == bytes) return detail::native_order(std::move(out));
            }
        }
    }
    // Everything else goes through numpy.
    py::array array = detail::native_order(detail::numpy_load(path));
    if (array.ndim() == 0 || array.shape(0) <= max_rows) return array;
    const py::object kept = array[py::slice(py::none(), py::int_(max_rows), py::none())];
    return call_method<"copy">(kept);  // a copy, so the dropped rows are freed with the original
}

// The concatenation, without separator, of the strings of a 1-D string array (fixed-width
// unicode, or pickled Python strings). Any other content raises ValueError naming the file.
inline py::str read_joined_text(py::handle path) {
    const detail::File file(path);
    const std::optional<detail::Header> h = detail::read_header(file, path);
    if (!h) {
        char lead[detail::kMagicSize] = {};
        const std::size_t got = file.read_at(lead, sizeof lead, 0, path);
        if (got < detail::kMagicSize || std::memcmp(lead, detail::kMagic, detail::kMagicSize) != 0)
            detail::refuse(path, "not a .npy array file");
        return detail::join_string_array(path, detail::numpy_load(path));
    }
    if (h->descr == "|O" || h->descr == "O") {
        // The array body is a pickle: rebuild it with the restricted unpickler.
        std::string body;
        char chunk[65536];
        std::size_t offset = h->data_offset;
        while (true) {
            const std::size_t got = file.read_at(chunk, sizeof chunk, offset, path);
            body.append(chunk, got);
            offset += got;
            if (got < sizeof chunk) break;
        }
        const py::object stream = call(imported<"io", "BytesIO">(), py::bytes(body));
        py::object rebuilt;
        try {
            rebuilt = call_method<"load">(call(detail::stand_ins().unpickler, stream));
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) throw;
            if (e.matches(PyExc_ValueError)) detail::refuse(path, display(e.value()));
            detail::refuse(path, "expected a 1-D array of strings, but its pickled data does not load (" + type_name(e.value()) + ": " +
                                     display(e.value()) + ")");
        }
        if (!py::type::handle_of(rebuilt).is(py::handle(detail::stand_ins().array_class)) || !has_attr<"items">(rebuilt))
            detail::refuse(path, "expected a 1-D array of strings, got a pickled " + type_name(rebuilt));
        PyObject* text = PyUnicode_Join(py::str("").ptr(), attr<"items">(rebuilt).ptr());
        if (text == nullptr) throw py::error_already_set();
        return py::reinterpret_steal<py::str>(text);
    }
    const py::dtype dt = detail::dtype_of(h->descr);
    const bool plain = !truthy(attr<"hasobject">(dt)) && dt.itemsize() > 0;
    // Every size is checked against the file before anything is allocated or copied, numpy's
    // reading included.
    const std::size_t bytes = plain ? detail::checked_data_bytes(file, path, *h, static_cast<std::size_t>(dt.itemsize())) : 0;
    const std::size_t width = static_cast<std::size_t>(dt.itemsize()) / 4;
    // A 1-D array is laid out the same in either order; other shapes and dtypes are refused by
    // join_string_array before any element is read.
    if (!plain || h->shape.size() != 1 || display(attr<"kind">(dt)) != "U")
        return detail::join_string_array(path, detail::numpy_load(path));
    // Fixed-width UCS4 elements; numpy drops each element's trailing NULs when it makes a str.
    const std::size_t total = bytes / 4;
    std::vector<Py_UCS4> data(total);
    if (file.read_at(data.data(), bytes, h->data_offset, path) != bytes) detail::refuse(path, "the file is shorter than its header says");
    if (!detail::is_native(dt))
        for (Py_UCS4& c : data) c = __builtin_bswap32(c);
    for (const Py_UCS4 c : data)
        if (c > 0x10FFFF) detail::refuse(path, "it holds the value " + std::to_string(c) + ", which is not a Unicode code point");
    std::size_t out = 0;
    for (std::size_t e = 0; e + width <= total; e += width) {
        std::size_t len = width;
        while (len > 0 && data[e + len - 1] == 0) --len;
        std::memmove(&data[out], &data[e], len * 4);
        out += len;
    }
    PyObject* text = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, data.data(), static_cast<Py_ssize_t>(out));
    if (text == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

}  // namespace vkdomain::npy
