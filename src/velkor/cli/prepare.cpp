// velkor prepare synth|audio|text: the command-line face of velkor.data.prepare. A problem with
// the user's data (nothing prepared, a folder it does not own, unreadable text) is one line and a
// non-zero exit status.
#include "cli.hpp"

#include <cmath>

namespace velkor_cli {
namespace {

std::vector<std::string> split_commas(const std::string& s) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= s.size()) {
        const std::size_t comma = s.find(',', start);
        const std::string item = s.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!item.empty()) out.push_back(item);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return out;
}

// --splits train=0.9,dev=0.05,test=0.05: each name once, each fraction a finite number.
py::object parse_splits(py::handle option) {
    if (option.is_none()) return py::none();
    py::dict splits;
    for (const std::string& item : split_commas(py::str(option))) {
        const std::size_t eq = item.find('=');
        double f = NAN;
        if (eq != std::string::npos) {
            try {
                std::size_t used = 0;
                f = std::stod(item.substr(eq + 1), &used);
                if (used != item.size() - eq - 1) f = NAN;
            } catch (const std::exception&) {
            }
        }
        if (eq == std::string::npos || eq == 0 || !std::isfinite(f)) fail("--splits: expected NAME=FRACTION, got '" + item + "'", 2);
        const std::string name = item.substr(0, eq);
        if (splits.contains(name.c_str())) fail("--splits: the partition '" + name + "' is named twice", 2);
        splits[py::str(name)] = f;
    }
    return splits;
}

// --speed-perturb 0.9,1.0,1.1: numbers (their range is checked by the prepare functions).
py::object parse_speeds(py::handle option) {
    if (option.is_none()) return py::none();
    py::list factors;
    for (const std::string& item : split_commas(py::str(option))) {
        double f = NAN;
        try {
            std::size_t used = 0;
            f = std::stod(item, &used);
            if (used != item.size()) f = NAN;
        } catch (const std::exception&) {
        }
        if (!std::isfinite(f)) fail("--speed-perturb: expected numbers such as 0.9,1.0,1.1, got '" + item + "'", 2);
        factors.append(py::float_(f));
    }
    if (factors.empty()) fail("--speed-perturb: expected numbers such as 0.9,1.0,1.1, got '" + std::string(py::str(option)) + "'", 2);
    return factors;
}

// The prepare functions raise ValueError and OSError for what is wrong with the data.
template <class F>
void preparing(F&& run) {
    try {
        run();
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_ModuleNotFoundError) || e.matches(PyExc_FileNotFoundError)) throw;
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_OSError)) throw;
        fail(str(e.value()));
    }
}

}  // namespace

int run_prepare(py::handle args) {
    const py::module_ prep = py::module_::import("velkor.data.prepare");
    const std::string kind = py::str(vk::attr<"kind">(args));
    if (kind == "synth") {
        const py::object speeds = parse_speeds(vk::attr<"speed_perturb">(args));
        py::object voices = py::none();
        if (!vk::attr<"voices">(args).is_none()) voices = py::cast(split_commas(py::str(vk::attr<"voices">(args))));
        preparing([&] {
            vk::call(prep.attr("prepare_synth"), vk::attr<"output">(args), kw<"text_file">(vk::attr<"text">(args)),
                     kw<"num_train">(vk::attr<"train">(args)), kw<"num_dev">(vk::attr<"dev">(args)), kw<"num_test">(vk::attr<"test">(args)),
                     kw<"voices">(voices), kw<"min_words">(vk::attr<"min_words">(args)), kw<"max_words">(vk::attr<"max_words">(args)),
                     kw<"seed">(vk::attr<"seed">(args)), kw<"speed_perturb">(speeds));
        });
    } else if (kind == "audio") {
        const py::object speeds = parse_speeds(vk::attr<"speed_perturb">(args));
        preparing(
            [&] { vk::call(prep.attr("prepare_audio"), vk::attr<"source">(args), vk::attr<"output">(args), kw<"speed_perturb">(speeds)); });
    } else {
        const py::object splits = parse_splits(vk::attr<"splits">(args));
        preparing([&] {
            vk::call(prep.attr("prepare_text"), vk::attr<"text_file">(args), vk::attr<"output">(args), kw<"splits">(splits),
                     kw<"seed">(vk::attr<"seed">(args)), kw<"max_chars">(vk::attr<"max_chars">(args)));
        });
    }
    return 0;
}

}  // namespace velkor_cli
