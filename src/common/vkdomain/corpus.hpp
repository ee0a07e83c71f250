// What the speech and text datasets share: listing a directory of ".npy" files, the subset
// rule, reading errors that name their file, and tokenizing transcripts into decoder inputs
// (start id first) and targets (end id last) with the running totals both datasets report.
#pragma once

#include <vk/common.hpp>

#include "npy.hpp"

#include <algorithm>
#include <string>
#include <utility>

namespace vkdomain::corpus {

using namespace vk;

inline py::object path_join(py::handle a, py::handle b) { return call(imported<"os.path", "join">(), a, b); }

// Runs f(); a Python error escaping it keeps its type and message and gains a note naming `path`.
template <class F>
auto naming(py::handle path, F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (py::error_already_set& e) {
        add_note(e, "while reading " + display_repr(path));
        throw;
    } catch (py::builtin_exception& e) {
        // Raised from C++ (a refused header): made a Python exception first, to carry the note.
        e.set_error();
        py::error_already_set error;
        add_note(error, "while reading " + display_repr(path));
        throw error;
    }
}

// Full paths of the ".npy" entries of `dir`, sorted by name. Names that are not valid UTF-8
// (listed by Python with surrogate escapes) are compared as they are, never converted.
inline py::list npy_files(py::handle dir) {
    const py::list names = naming(dir, [&] { return py::list(call(imported<"os", "listdir">(), dir)); });
    static PyObject* const suffix = keep(py::str(".npy"));
    py::list kept;
    for (const py::handle name : names) {
        if (!PyUnicode_Check(name.ptr())) continue;
        const Py_ssize_t match = PyUnicode_Tailmatch(name.ptr(), suffix, 0, PY_SSIZE_T_MAX, 1);
        if (match < 0) throw py::error_already_set();
        if (match == 1) kept.append(name);
    }
    if (PyList_Sort(kept.ptr()) != 0) throw py::error_already_set();
    py::list paths;
    for (const py::handle name : kept) paths.append(path_join(dir, name));
    return paths;
}

// The subset setting: `subset_size` if present, else `subset`, else -1.
inline double subset_size(const py::dict& settings) {
    for (const char* key : {"subset_size", "subset"}) {
        if (!settings.contains(key)) continue;
        const py::object v = settings[key];
        if (!PyLong_Check(v.ptr()) && !PyFloat_Check(v.ptr()))
            throw py::type_error(std::string("Configuration key '") + key + "' must be a number, got " + type_name(v));
        return to_float(v);
    }
    return -1.0;
}

// How many of n files a positive subset setting keeps: a fraction of them up to 1.0, a count above.
inline std::size_t subset_count(std::size_t n, double subset) {
    const double count = subset <= 1.0 ? static_cast<double>(n) * subset : subset;
    return count >= static_cast<double>(n) ? n : static_cast<std::size_t>(count);
}

// The first `count` entries of `files` when the subset setting is positive, else all of them.
inline py::list cut(const py::list& files, double subset) {
    if (!(subset > 0)) return files;
    const std::size_t count = subset_count(files.size(), subset);
    py::list kept;
    for (std::size_t i = 0; i < count; ++i) kept.append(files[i]);
    return kept;
}

// total_chars / total_tokens as a float, or the integer 0 when there are no tokens.
inline py::object chars_per_token(long long chars, long long tokens) {
    if (tokens > 0) return py::float_(static_cast<double>(chars) / static_cast<double>(tokens));
    return py::int_(0);
}

// Tokenized transcripts and their totals.
class Transcripts {
public:
    Transcripts(py::handle tokenizer, py::object sos, py::object eos, py::list shifted, py::list golden)
        : tokenizer_(tokenizer), sos_(std::move(sos)), eos_(std::move(eos)), shifted_(std::move(shifted)), golden_(std::move(golden)) {}

    // Reads the transcript file at `path` and appends its decoder input and target.
    void add_file(py::handle path) {
        naming(path, [&] {
            add(npy::read_joined_text(path));
            return 0;
        });
    }

    void add(const py::str& text) {
        total_chars += PyUnicode_GET_LENGTH(text.ptr());
        const py::object encoded = call_method<"encode">(tokenizer_, text);
        const py::object ids =
            py::reinterpret_steal<py::object>(PySequence_Fast(encoded.ptr(), "encode() must return a list of token ids"));
        if (!ids) throw py::error_already_set();
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(ids.ptr());
        PyObject** items = PySequence_Fast_ITEMS(ids.ptr());
        total_tokens += n;
        text_max_len = std::max(text_max_len, static_cast<long long>(n) + 1);
        py::list shifted(n + 1), golden(n + 1);
        PyList_SET_ITEM(shifted.ptr(), 0, sos_.inc_ref().ptr());
        for (Py_ssize_t k = 0; k < n; ++k) {
            PyList_SET_ITEM(shifted.ptr(), k + 1, py::handle(items[k]).inc_ref().ptr());
            PyList_SET_ITEM(golden.ptr(), k, py::handle(items[k]).inc_ref().ptr());
        }
        PyList_SET_ITEM(golden.ptr(), n, eos_.inc_ref().ptr());
        shifted_.append(shifted);
        golden_.append(golden);
    }

    long long total_chars = 0;
    long long total_tokens = 0;
    long long text_max_len = 0;

private:
    py::handle tokenizer_;
    py::object sos_, eos_;
    py::list shifted_, golden_;
};

}  // namespace vkdomain::corpus
