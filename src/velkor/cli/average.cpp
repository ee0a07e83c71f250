// Checkpoint averaging: the element-wise mean of the model states of several epochs, often a
// better model than any one of them. A run with training.average_last N keeps the model state of
// every epoch as checkpoints/epoch-EEEE-model.pth (weights and the validation metric only), pruned
// after each epoch to the newest N and the best N; `velkor average` (and the end of such a run)
// writes the mean of the chosen ones as checkpoints/averaged.pth, which `velkor evaluate` prefers.
#include "cli.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <set>

namespace velkor_cli {
namespace {

constexpr const char* kPrefix = "epoch-";
constexpr const char* kSuffix = "-model.pth";

std::string epoch_file(long long epoch) {
    std::string digits = std::to_string(epoch);
    if (digits.size() < 4) digits.insert(0, 4 - digits.size(), '0');
    return kPrefix + digits + kSuffix;
}

// The epoch of a kept state's file name, or -1 for any other file.
long long epoch_of(const std::string& name) {
    const std::string prefix = kPrefix, suffix = kSuffix;
    if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        return -1;
    const std::string digits = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    if (digits.empty() || digits.size() > 12 || digits.find_first_not_of("0123456789") != std::string::npos) return -1;
    return std::stoll(digits);
}

// Kept epochs and their files, oldest first.
std::map<long long, py::object> kept_states(py::handle dir) {
    std::map<long long, py::object> out;
    if (!is_dir(dir)) return out;
    for (const py::handle f : py::list(vk::call(vk::imported<"os", "listdir">(), dir))) {
        const long long epoch = epoch_of(py::str(f));
        if (epoch >= 0) out[epoch] = join(dir, f);
    }
    return out;
}

// The metric "best" follows: the validation loss per character of a language model, the
// character error rate of a speech model (lower is better for both).
const char* metric_name(const Config& cfg) { return is_speech(cfg) ? "cer" : "ce_loss_char"; }

// Each epoch's validation metric in the history (the last record of an epoch counts).
std::map<long long, double> metrics_by_epoch(py::handle history, const char* metric) {
    std::map<long long, double> out;
    for (const py::handle rec : py::iter(history)) {
        if (!PyDict_Check(rec.ptr())) continue;
        const py::dict r = py::reinterpret_borrow<py::dict>(rec);
        if (!r.contains("epoch") || !r.contains("val") || !PyDict_Check(py::object(r["val"]).ptr())) continue;
        const py::dict val = r["val"];
        if (!val.contains(metric) || !PyLong_Check(py::object(r["epoch"]).ptr())) continue;
        out[py::cast<long long>(r["epoch"])] = vk::to_float(val[metric]);
    }
    return out;
}

// torch.save to a temporary file beside `path`, synced, then renamed over it.
void save_atomically(py::handle value, py::handle path) {
    const py::object partial = py::str(str(path) + ".partial");
    const py::object file = vk::call(vk::imported<"builtins", "open">(), partial, "wb");
    try {
        vk::call(vk::imported<"torch", "save">(), value, file);
        vk::call_method<"flush">(file);
        vk::call(vk::imported<"os", "fsync">(), vk::call_method<"fileno">(file));
        vk::call_method<"close">(file);
    } catch (...) {
        try {
            vk::call_method<"close">(file);
            remove_file(partial);
        } catch (py::error_already_set&) {
        }
        throw;
    }
    vk::call(vk::imported<"os", "replace">(), partial, path);
}

// A kept state read back: its weights checked to be a dictionary of tensors.
py::dict load_state(py::handle path) {
    const std::string name = str(path);
    py::object loaded;
    try {
        loaded = vk::call(vk::imported<"torch", "load">(), path, kw<"map_location">("cpu"), kw<"weights_only">(true));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        std::string why = str(e.value());
        why = why.substr(0, std::min<std::size_t>(why.find('\n'), 200));
        fail(name + ": not a readable model state (" + vk::type_name(e.value()) + ": " + why + ")");
    }
    if (!PyDict_Check(loaded.ptr())) fail(name + ": not a model state: it holds " + shown(loaded));
    const py::dict state = py::reinterpret_borrow<py::dict>(loaded);
    const py::object weights = vk::get<"model_state_dict">(state, py::none());
    if (!PyDict_Check(weights.ptr()) || PyDict_GET_SIZE(weights.ptr()) == 0)
        fail(name + ": not a model state: \"model_state_dict\" holds " + shown(weights));
    for (const auto& [key, tensor] : py::reinterpret_borrow<py::dict>(weights))
        if (!vk::is_tensor(tensor)) fail(name + ": \"" + str(key) + "\" is not a tensor");
    return state;
}

std::string shape_of(py::handle tensor) { return str(vk::call(vk::imported<"builtins", "list">(), vk::attr<"shape">(tensor))); }

std::string epoch_list(const std::vector<long long>& epochs) {
    std::string s;
    for (const long long e : epochs) {
        if (!s.empty()) s += ", ";
        s += std::to_string(e);
    }
    return s;
}

}  // namespace

void keep_epoch_state(const Config& cfg, py::handle trainer, long long keep) {
    const py::object dir = vk::attr<"checkpoint_dir">(trainer);
    const long long epoch = py::cast<long long>(vk::attr<"current_epoch">(trainer));
    const std::map<long long, double> metrics = metrics_by_epoch(vk::attr<"training_history">(trainer), metric_name(cfg));
    py::dict state;
    state["epoch"] = epoch;
    state["model_state_dict"] = vk::call_method<"state_dict">(vk::attr<"model">(trainer));
    const auto it = metrics.find(epoch);
    state["metric"] = it == metrics.end() ? py::object(py::none()) : py::object(py::float_(it->second));
    state["metric_name"] = metric_name(cfg);
    save_atomically(state, join(dir, py::str(epoch_file(epoch))));

    // Keep the newest `keep` and the best `keep` (an epoch without a metric is never among the best).
    const std::map<long long, py::object> kept = kept_states(dir);
    std::vector<long long> epochs;
    for (const auto& [e, path] : kept) epochs.push_back(e);
    std::set<long long> wanted(epochs.end() - std::min<long long>(keep, static_cast<long long>(epochs.size())), epochs.end());
    std::vector<std::pair<double, long long>> ranked;
    for (const long long e : epochs) {
        const auto m = metrics.find(e);
        if (m != metrics.end() && !std::isnan(m->second)) ranked.emplace_back(m->second, -e);  // ties: the newer
    }
    std::sort(ranked.begin(), ranked.end());
    for (std::size_t i = 0; i < ranked.size() && static_cast<long long>(i) < keep; ++i) wanted.insert(-ranked[i].second);
    for (const auto& [e, path] : kept)
        if (!wanted.count(e)) remove_file(path);
}

py::object average_checkpoints(py::handle root, const std::string& how, long long count) {
    const py::object dir = join(root, "checkpoints");
    const std::string option = "--" + how + " " + std::to_string(count);
    const std::map<long long, py::object> kept = kept_states(dir);
    std::vector<long long> available;
    for (const auto& [e, path] : kept) available.push_back(e);
    if (static_cast<long long>(available.size()) < count)
        fail(str(dir) + ": " + option + " averages " + std::to_string(count) + " epochs, but " + std::to_string(available.size()) +
             " epoch model state(s) are kept" + (available.empty() ? "" : " (epochs " + epoch_list(available) + ")") +
             "; a run with training.average_last keeps them");

    std::vector<long long> chosen;
    if (how == "last") {
        chosen.assign(available.end() - count, available.end());
    } else {
        std::vector<std::pair<double, long long>> ranked;
        for (const auto& [e, path] : kept) {
            const py::object metric = vk::get<"metric">(load_state(path), py::none());
            const double m = metric.is_none() ? std::numeric_limits<double>::quiet_NaN() : vk::to_float(metric);
            if (!std::isnan(m)) ranked.emplace_back(m, -e);
        }
        if (static_cast<long long>(ranked.size()) < count)
            fail(str(dir) + ": " + option + " averages " + std::to_string(count) + " epochs, but only " + std::to_string(ranked.size()) +
                 " kept epoch model state(s) have a validation metric");
        std::sort(ranked.begin(), ranked.end());
        for (long long i = 0; i < count; ++i) chosen.push_back(-ranked[static_cast<std::size_t>(i)].second);
        std::sort(chosen.begin(), chosen.end());
    }

    // The newest chosen state is the reference: its keys, shapes and integer buffers.
    const py::object newest_path = kept.at(chosen.back());
    const py::dict newest = load_state(newest_path);
    const py::dict reference = newest["model_state_dict"];
    py::dict sums;
    for (const auto& [key, tensor] : reference)
        if (vk::truthy(vk::call_method<"is_floating_point">(tensor)))
            sums[key] = vk::call_method<"to">(tensor, vk::imported<"torch", "float64">(), kw<"copy">(true));
    for (std::size_t i = 0; i + 1 < chosen.size(); ++i) {
        const py::object path = kept.at(chosen[i]);
        const std::string name = str(path);
        const py::dict weights = load_state(path)["model_state_dict"];
        for (const auto& [key, tensor] : reference)
            if (!weights.contains(key)) fail(name + ": it has no tensor \"" + str(key) + "\", which " + str(newest_path) + " has");
        for (const auto& [key, tensor] : weights) {
            if (!reference.contains(key)) fail(name + ": its tensor \"" + str(key) + "\" is not in " + str(newest_path));
            const std::string have = shape_of(tensor), want = shape_of(reference[key]);
            if (have != want)
                fail(name + ": tensor \"" + str(key) + "\" has shape " + have + " there and " + want + " in " + str(newest_path));
            if (sums.contains(key)) vk::call_method<"add_">(py::object(sums[key]), tensor);
        }
    }
    py::dict averaged;
    const double n = static_cast<double>(chosen.size());
    for (const auto& [key, tensor] : reference) {
        if (!sums.contains(key)) {
            averaged[key] = tensor;
            continue;
        }
        const py::object mean = vk::call_method<"div_">(py::object(sums[key]), n);
        averaged[key] = vk::call_method<"to">(mean, vk::attr<"dtype">(tensor));
    }
    py::dict out;
    out["epoch"] = chosen.back();
    out["model_state_dict"] = averaged;
    out["averaged_epochs"] = py::cast(chosen);
    out["averaged_by"] = how;
    const py::object target = join(dir, "averaged.pth");
    save_atomically(out, target);
    vk::println("Averaged the model states of epochs ", epoch_list(chosen), " (the ", how, " ", count, "): ", target);
    return target;
}

int run_average(py::handle args) {
    const std::string target = py::str(vk::attr<"experiment">(args));
    const py::object last = vk::attr<"last">(args), best = vk::attr<"best">(args);
    const bool by_last = !last.is_none();
    const long long count = int_option(by_last ? last : best, by_last ? "--last" : "--best", 1, 1000);
    py::object root;
    if (is_dir(py::str(target))) {
        root = py::str(target);
        if (!is_dir(join(root, "checkpoints"))) fail(target + ": not an experiment folder (it has no checkpoints/)", 2);
    } else {
        root = find_experiment(load_config(target));
    }
    average_checkpoints(root, by_last ? "last" : "best", count);
    return 0;
}

}  // namespace velkor_cli
