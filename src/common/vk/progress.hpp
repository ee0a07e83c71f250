// Progress bars: every bar is a tqdm bar made here, whole lines off a terminal.
#pragma once

#include "definitions.hpp"
#include "report.hpp"

#include <string>

namespace vk {

// ---------------------------------------------------------------------------------------------
// Progress bars
//
// Every bar is a tqdm bar (a notebook widget where available) made by progress() or
// progress_bar(). On a terminal tqdm redraws one line in place; anywhere else (a log file, a
// pipe, a captured stream) each redraw would pile up behind carriage returns, so there the bar
// writes each update as a whole line, in plain characters, at most every kLineInterval seconds,
// and its final state when it closes.

inline constexpr double kLineInterval = 10.0;

namespace detail {

// The file object given to tqdm off a terminal: every status tqdm draws becomes one line of
// `stream` (blank ones and repeats dropped).
inline py::object lines_init(py::handle self, const Args<"stream">& a) {
    set_attr<"stream">(self, a.get<"stream">());
    set_attr<"last">(self, py::str(""));
    return py::none();
}

inline py::object lines_write(py::handle self, const Args<"text">& a) {
    const py::handle text = a.get<"text">();
    if (!PyUnicode_Check(text.ptr())) raise_arg_type("text", "str", text);
    const py::object pieces = call_method<"splitlines">(text);
    py::object last = attr<"last">(self);
    py::list lines;
    for (const py::handle piece : pieces) {
        py::object line = call_method<"rstrip">(piece);
        if (PyUnicode_GET_LENGTH(line.ptr()) == 0 || line.equal(last)) continue;
        lines.append(line);
        last = line;
    }
    if (!lines.empty()) {
        lines.append(py::str(""));
        call_method<"write">(attr<"stream">(self), call_method<"join">(py::str("\n"), lines));
        set_attr<"last">(self, last);
    }
    return py::int_(PyUnicode_GET_LENGTH(text.ptr()));
}

inline py::object lines_flush(py::handle self, const Args<"">&) {
    const py::object stream = attr<"stream">(self);
    if (has_attr<"flush">(stream)) call_method<"flush">(stream);
    return py::none();
}

inline constexpr Def kLinesInit{"__init__", lines_init};
inline constexpr Def kLinesWrite{"write", lines_write, "Writes each status line in `text` as a line of the stream."};
inline constexpr Def kLinesFlush{"flush", lines_flush, "Flushes the stream."};

inline py::handle line_writer_class() {
    static PyObject* const cls = [] {
        py::dict ns;
        ns["__module__"] = "velkor";
        ns["__qualname__"] = "ProgressLines";
        ns["__doc__"] = "A progress bar's output as whole lines, for a stream that is not a terminal.";
        const py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
        py::object made = type("ProgressLines", py::make_tuple(imported<"builtins", "object">()), ns);
        define_methods<kLinesInit, kLinesWrite, kLinesFlush>(made);
        return keep(std::move(made));
    }();
    return cls;
}

// True when tqdm.auto draws widgets (a notebook), which take care of their own output.
inline bool notebook_bars() { return !imported<"tqdm.autonotebook", "tqdm">().is(imported<"tqdm.std", "tqdm">()); }

inline bool on_terminal(py::handle stream) {
    try {
        return truthy(call_method<"isatty">(stream));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return false;  // a closed stream, or one without isatty
    }
}

// Holds the error indicator aside for the life of the object and puts it back afterwards.
class KeptError {
public:
#if PY_VERSION_HEX >= 0x030C0000
    KeptError() : error_(PyErr_GetRaisedException()) {}
    ~KeptError() { PyErr_SetRaisedException(error_); }

private:
    PyObject* error_;
#else
    KeptError() { PyErr_Fetch(&type_, &value_, &traceback_); }
    ~KeptError() { PyErr_Restore(type_, value_, traceback_); }

private:
    PyObject *type_ = nullptr, *value_ = nullptr, *traceback_ = nullptr;
#endif
public:
    KeptError(const KeptError&) = delete;
    KeptError& operator=(const KeptError&) = delete;
};

template <class T>
void put_keyword(py::dict& kwargs, T&& arg) {
    using D = std::decay_t<T>;
    static_assert(KwTraits<D>::value, "progress bar options are keyword arguments");
    kwargs[KwTraits<D>::key()] = to_object(std::forward<T>(arg));
}

inline py::object make_bar(const py::tuple& args, py::dict& kwargs) {
    PyObject* stderr_stream = PySys_GetObject("stderr");  // borrowed; tqdm writes there by default
    if (stderr_stream == nullptr || stderr_stream == Py_None) {
        kwargs["disable"] = true;
    } else if (!kwargs.contains("file") && !notebook_bars() && !on_terminal(stderr_stream)) {
        kwargs["file"] = call(line_writer_class(), py::handle(stderr_stream));
        kwargs["mininterval"] = kLineInterval;
        kwargs["leave"] = true;  // a log cannot erase a line: it keeps the final state instead
        kwargs["ascii"] = true;
        kwargs["dynamic_ncols"] = false;  // no width to follow: the whole status, with a short bar
    }
    PyObject* bar = PyObject_Call(imported<"tqdm.auto", "tqdm">().ptr(), args.ptr(), kwargs.ptr());
    if (bar == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(bar);
}

}  // namespace detail

// A progress bar over `iterable`: progress(items, kw<"desc">("[Loading]")).
template <class... A>
py::object progress(py::handle iterable, A&&... kwargs) {
    py::dict options;
    (detail::put_keyword(options, std::forward<A>(kwargs)), ...);
    return detail::make_bar(py::make_tuple(iterable), options);
}

// A progress bar advanced by hand: progress_bar(kw<"total">(n), kw<"desc">("[Training]")).
template <class... A>
py::object progress_bar(A&&... kwargs) {
    py::dict options;
    (detail::put_keyword(options, std::forward<A>(kwargs)), ...);
    return detail::make_bar(py::tuple(), options);
}

// A progress bar of a pass over `loader` (one step per batch), closed when it goes out of scope
// however the pass ends; an error already on its way out wins over one from closing the bar.
class Bar {
public:
    template <class... A>
    explicit Bar(py::handle loader, A&&... kwargs) {
        const Py_ssize_t total = PyObject_Length(loader.ptr());
        if (total < 0) throw py::error_already_set();
        bar_ = progress_bar(kw<"total">(total), std::forward<A>(kwargs)...);
    }
    ~Bar() {
        if (!bar_) return;
        const detail::KeptError kept;
        PyObject* r = PyObject_CallMethodNoArgs(bar_.ptr(), name<"close">().ptr());
        if (r == nullptr) PyErr_Clear();
        Py_XDECREF(r);
    }
    Bar(const Bar&) = delete;
    Bar& operator=(const Bar&) = delete;

    // One step done; the postfix (keyword arguments, or one dict) is drawn with the bar's next
    // refresh, which tqdm paces itself.
    template <class... A>
    void advance(A&&... postfix) {
        if constexpr (sizeof...(A) > 0) call_method<"set_postfix">(bar_, std::forward<A>(postfix)..., kw<"refresh">(false));
        call_method<"update">(bar_, 1);
    }
    // Closes the bar now, raising what closing raises.
    void close() {
        const py::object bar = std::move(bar_);
        call_method<"close">(bar);
    }

private:
    py::object bar_;
};

}  // namespace vk
